// zolhost link: a serial port for the user's own host program, in front of the
// device. The device end is a pty in a dir (for zolemul started there by the user,
// or by zolhost itself) or a port; the host end a pty at HOSTPATH or a URL to
// listen on. Every byte is relayed both ways (relay.h); either end may close and
// open again. The ends and their states are here, the same on every platform; a
// small loop per platform (link_loop_<platform>.cpp) sleeps until something
// happens on an end or falls due.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "host/base/clock.h"
#include "host/link/record.h"
#include "host/link/relay.h"
#include "host/process/emulator_process.h"
#include "host/transport/endpoint.h"

namespace zolhost {

class BuiltinDevice;

struct LinkConfig {
    // Builtin: the device built into zolhost (transport/builtin_device.h), in process.
    enum class DeviceEnd { Virtual, Spawn, Port, Builtin };
    DeviceEnd device = DeviceEnd::Virtual;
    std::string dir = ".";     // Virtual: where COM2 is made
    std::string port;          // Port: a path, COMn or a URL
    std::string deviceExe;     // Spawn: the program; empty: zolemul beside zolhost
    int waitSeconds = 0;       // for the device end to be opened (Virtual), or zolemul to open it; 0: no limit
    int timeoutMs = 1000;      // for a network device end to answer
    std::string hostPath;      // the host program's end: a path for a pty, or a URL
    bool trace = false;
    std::string pcapPath;      // a pcapng capture of the link; empty: none
    RelayConfig relay;         // pacing, faults, seed, the line mismatch rule
    bool quiet = false;        // make the ends without saying so (serve says it for all its devices)
    std::string label;         // before each trace line: which link it is (serve: "device 3"); empty: none
};

// Runs until Ctrl-C or SIGTERM, then prints a summary and returns kExitGood.
// kExitNoLink when an end cannot be made or opened (HOSTPATH exists already),
// kExitCheckFailed when nothing opens the device end within --wait, or zolemul
// does not start.
int RunLink(const LinkConfig& config);

// The same with ends of the caller's own in place of those the configuration names
// (null: as configured), ending once `finished` says so, without the summary.
struct LinkEnds {
    Endpoint* host = nullptr;
    Endpoint* device = nullptr;
    std::function<bool()> finished;
};
int RunLinkWith(const LinkConfig& config, const LinkEnds& ends);

// One end of the link and its state.
struct LinkEnd {
    enum class State {
        Unopened,  // nothing has opened it yet (a pty: the link still holds its device end)
        Open,
        Closed,    // it hung up or failed: tried again now and then
        Unplugged, // taken away by whoever steers the link: nothing there until plugged
    };
    Side side;
    Endpoint* ep = nullptr;
    std::string name;  // the path or address its user knows
    State state = State::Unopened;
    Clock::time_point checkAt{};  // Closed: when to look for it again
    bool waitRoom = false;        // it took not all of a write: wait until it can take more
    bool unfinished = false;      // ... and finish that write then
    bool wokeUnread = false;      // Windows: its event woke a wait while it had no room to be read
};

// What a wait saw of an end.
struct EndSeen {
    bool readable = false;
    bool writable = false;
    bool gone = false;      // hung up or failed, with nothing to read
    bool hungUp = false;    // gone: a hang-up (else an error)
    bool comeBack = false;  // the other end may be back
    bool busy = false;      // another peer asks to come in
};

class Link {
public:
    // Over two endpoints that outlive it; each starts Unopened.
    Link(Endpoint& host, Endpoint& device, const RelayConfig& relay, LinkRecord& record);

    LinkEnd& End(Side s) { return s == Side::Host ? host_ : device_; }
    Relay& Relayed() { return relay_; }
    const Relay& Relayed() const { return relay_; }

    // The start of a pass: ends due to be tried again are, what has fallen due is
    // written, quiet lines give out their noise.
    void Pass(Clock::time_point now);
    // What the pass's wait should watch on an end.
    bool WantsRead(Side s) const;
    bool WantsWrite(Side s) const;
    bool WatchesComeBack(Side s) const { return End(s).state != LinkEnd::State::Open; }
    bool WatchesBusy(Side s) const { return End(s).state == LinkEnd::State::Open; }
    // When the pass's wait should end at the latest; nothing: only for an end.
    // tellsOfRoom(side): the wait wakes when that end has room again.
    std::optional<Clock::time_point> NextWake(const std::function<bool(Side)>& tellsOfRoom = nullptr) const;
    // After the wait: what it saw of each end; then every end's notes.
    void Handle(Side s, const EndSeen& seen, Clock::time_point now);
    void TakeNotes(Clock::time_point now);
    // An end not opened yet, or closed: there now?
    void TryOpen(LinkEnd& e, Clock::time_point now);
    // Steering: the end's endpoint taken away (the caller then destroys it, so its
    // peer finds it gone), and a new one put in its place, Unopened.
    void Unplug(Side s, Clock::time_point now);
    void Plug(Side s, Endpoint& ep, Clock::time_point now);
    // Where the time of a read comes from (a test's own clock); the system's by default.
    void SetClock(std::function<Clock::time_point()> clock) { clock_ = std::move(clock); }

private:
    const LinkEnd& End(Side s) const { return s == Side::Host ? host_ : device_; }
    void Failed(LinkEnd& e, const std::string& why, Clock::time_point now);
    void Read(LinkEnd& e, Clock::time_point now);
    void Deliver(LinkEnd& to, Clock::time_point now);
    // The reply bytes the device owes for the requests it was given (9 for every 7),
    // less what it has said since, as far as the link can tell.
    std::uint64_t Owed() const;
    // A device on an unpaced line (as steered now) that owes more than kOwedLimit.
    bool Owing() const;
    // An unpaced device is given no more requests while it owes more than
    // kOwedLimit: one that answers at once (zolemul) holds only so much output
    // behind its port before it refuses a reply. A device quiet for kOwedQuiet since
    // the link last gave or heard anything is owed nothing more, so one that never
    // answers is slowed, not stopped.
    bool HoldsRequests(Clock::time_point now);
    // An end in memory that waited for room and has it now: true, and it waits no more.
    bool RoomBack(LinkEnd& e);
    void Notes(LinkEnd& e, Clock::time_point now);

    LinkEnd host_;
    LinkEnd device_;
    Relay relay_;
    std::function<Clock::time_point()> clock_ = [] { return Clock::now(); };
    std::unique_ptr<Endpoint> unplugged_[2];  // what an unplugged end stands on
    std::uint64_t given_ = 0;  // request bytes written to the device since it opened
    std::uint64_t heard_ = 0;  // bytes read from it since
    Clock::time_point lastGiven_{};
    Clock::time_point lastHeard_{};
};

// One pass's wait, on this platform: sleeps until an end has something, the
// link's next thing falls due or `until` comes, and hands what it saw to the link.
// false when the system's wait itself failed (nothing handed; *error says why).
bool WaitForLink(Link& link, std::optional<Clock::time_point> until, std::string* error);

// The pieces RunLinkWith is made of, for commands that run links of their own
// (serve, one link a device).

// The device end as a configuration names it, made and held: zolemul, when the
// link starts it, ends before its port goes.
struct LinkDevice {
    std::unique_ptr<EmulatorProcess> emulator;
    std::unique_ptr<Endpoint> owned;
    BuiltinDevice* builtin = nullptr;  // Builtin: the device, as `owned`
    Endpoint* ep = nullptr;
    bool open = false;  // it is open already (a port, zolemul started)
    std::optional<Clock::time_point> waitUntil;  // a virtual device end nothing has opened by then: give up
};
// Makes it (Spawn: starts zolemul and waits until it has its port open, within
// --wait). false with *error, and in *status how to exit.
bool MakeLinkDevice(const LinkConfig& c, LinkDevice* d, int* status, std::string* error);

// Opens the capture the configuration asks for, if any, its header saying what the
// link is and how it runs. false with *error.
bool OpenLinkCapture(const LinkConfig& c, LinkRecord& record, std::string* error);

// The host end taken away as a pulled adapter is (its endpoint destroyed: a pty's
// path goes and its other side hangs up, a listener closes its port and its
// connection), and plugged back at `hostEnd`, made again there (announced as the
// first was, when asked): false with *error when it cannot be. Each does nothing
// to an end already so.
void UnplugHostEnd(Link& link, std::unique_ptr<Endpoint>& host, Clock::time_point now);
bool PlugHostEnd(Link& link, std::unique_ptr<Endpoint>& host, const std::string& hostEnd, Clock::time_point now,
                 std::string* error, bool announce = false);

// Where a plug makes the host end again: where it is now, by the name it was made
// at (a listener on port 0 again on the port it chose then), and, should that be
// taken meanwhile, where it was asked for (a listener on a port chosen afresh,
// announced on its own line as the first).
struct HostEndPlace {
    std::string again;
    std::string anew;
};

// A replay of a steered session: the recorded changes the link has reached made
// (unplug and plug on `host`, remade at `at`; none: the link's host end is not
// ours to unplug, and they are passed over).
void SteerAsRecorded(Link& link, std::unique_ptr<Endpoint>* host, const HostEndPlace& at, Clock::time_point now);

// The link's summary, as link prints it at its end, on standard output.
void PrintSummary(Link& link, const LinkRecord& record, std::uint64_t seed);

// After a pass: the wait (until `until` at the latest), the ends' notes, the
// capture's new packets to its file. false when the wait failed (*error: why).
bool WaitAndRecord(Link& link, LinkRecord& record, std::optional<Clock::time_point> until, std::string* error);

}  // namespace zolhost
