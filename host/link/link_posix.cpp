// zolhost link on POSIX systems. One thread sleeps in ppoll until bytes arrive, a
// byte falls due on a line, or a closed end may be back. Each direction is a line:
// bytes queue with the time they are due at the far end (10 bit times apart when
// paced, later when a fault holds a reply back) and are written when due; a line
// never reorders. Each end is an endpoint; one that hangs up is tried again when
// it says it may be back (a pty's device end opened) and every 500 ms. Nothing
// spins while an end is closed.
#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>

#include "host/bench/bench_targets.h"
#include "host/cli/commands.h"
#include "host/link/fault_plan.h"
#include "host/cli/hex.h"
#include "host/link/frame_trace.h"
#include "host/link/link.h"
#include "host/link/pcap_writer.h"
#include "host/link/uart_model.h"
#include "host/process/child_process.h"
#include "host/process/system.h"
#include "host/transport/channel.h"
#include "host/transport/open_port.h"
#include "host/transport/pty_endpoint.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kLineLimit = 4096;  // bytes queued on a line before its source is left unread
constexpr auto kReopenEvery = std::chrono::milliseconds(Endpoint::kReopenMs);
constexpr std::uint32_t kDefaultPace = 115200;  // the device's own line rate
constexpr int kQuietByteTimes = 4;              // a line this long without bytes is quiet ...
constexpr auto kQuietAtLeast = 2ms;             // ... but never shorter than the system's own hiccups

std::string Printf(const char* format, auto... args) {
    char b[160];
    std::snprintf(b, sizeof b, format, args...);
    return b;
}

struct End {
    enum class State {
        Unopened,  // nothing has opened it yet (a pty: the link still holds its device end)
        Open,
        Closed,    // it hung up or failed: tried again now and then
    };
    std::string name;                   // the path its user knows
    std::unique_ptr<Endpoint> ep;
    State state = State::Unopened;
    Clock::time_point checkAt{};  // Closed: when to look for it again
    int dataSlot = -1;            // its places in this round's poll set
    int watchSlot = -1;
    int busySlot = -1;
    // What its peer did to the line beside the data.
    std::uint64_t settings = 0, controls = 0, purges = 0, refused = 0;
};

struct Line {
    Line(char a, End* f, End* t) : arrow(a), from(f), to(t) {}
    char arrow;  // '>' host to device, '<' device to host
    End* from;
    End* to;
    Clock::duration byteTime{};  // 0: no pacing
    struct Byte {
        std::uint8_t value;
        Clock::time_point due;
    };
    std::deque<Byte> queue;
    Clock::time_point free{};      // when the last byte queued is through
    Clock::time_point lastInput{};
    bool waitRoom = false;         // the far end took not all: wait until it can
    bool unfinished = false;       // ... and finish that write then
    std::uint64_t bytes = 0;       // taken from the source
    std::uint64_t lost = 0;        // fell due while the far end was closed
    std::uint64_t purged = 0;      // dropped from the queue at a peer's request
    std::uint64_t crossed = 0;     // went across while the host's line differed from the device's
    std::uint64_t arrived = 0;     // ... and what the receiver took of them (garbled)
    std::vector<std::uint8_t> noise;  // noise not traced yet, from noiseAt on
    Clock::time_point noiseAt{};
};

struct ReplyCounts {
    std::uint64_t replies = 0, forwarded = 0, unheard = 0, dropped = 0, corrupted = 0, delayed = 0, split = 0;
};

// zolemul as link --spawn starts it: in a temp dir of its own, its console on a pty
// zolhost drains; ended with a key press (or by force) when the link ends.
struct Spawned {
    std::string dir;
    DrainedTerminal console;
    ChildProcess child;
    bool started = false;

    ~Spawned() {
        if (started && !(console.PressKey('q') && child.Wait(kEndMs))) {
            child.Terminate(kEndMs);
        }
    }
};

class Relay {
public:
    explicit Relay(const Options& o);
    ~Relay();
    std::optional<int> Start();  // an exit status when the ends cannot be made
    bool Spawn(PtyEndpoint& pty, std::string* error);
    int Run();

private:
    void Poll(Clock::time_point now);
    void TryReopen(End& e, Clock::time_point now);
    void Failed(End& e, const std::string& why, Clock::time_point now);
    void Read(End& e, Line& l, Clock::time_point now);
    void Forward(Line& l, Segment& s, Clock::time_point now);
    void Queue(Line& l, const std::uint8_t* p, std::size_t n, Clock::time_point release);
    void Deliver(Line& l, Clock::time_point now);
    void Quiet(Line& l, Clock::time_point now);
    void Notes(End& e, Clock::time_point now);
    void Purge(Line& l);
    void Trace(Line& l, const Segment& s, Clock::time_point at, const std::string& done,
               const std::vector<std::uint8_t>* sent = nullptr);
    void TraceNoise(Line& l);
    void TraceLine(const Line& l, Clock::time_point at, const std::string& bytes, const std::string& what) const;
    Line& From(const End& e) { return &e == &host_ ? toDevice_ : toHost_; }  // the line e is the source of
    void Capture(const Line& l, const std::uint8_t* p, std::size_t n, Clock::time_point at, const std::string& note);
    void ShowHostLine(Clock::time_point now);
    const LineSettings* HostDiffers() const;
    void Cross(Line& l, const std::uint8_t*& p, std::size_t& n, std::vector<std::uint8_t>* garbled);
    void Summary() const;

    const Options& o_;
    const Clock::time_point start_ = Clock::now();
    std::unique_ptr<Spawned> spawned_;
    End host_;
    End device_;
    Line toDevice_{'>', &host_, &device_};
    Line toHost_{'<', &device_, &host_};
    Clock::duration quiet_{};
    std::optional<Clock::time_point> waitUntil_;
    FaultPlan plan_;
    RequestStream requests_;
    ReplyStream replies_;
    ReplyCounts counts_;
    // The host program's line as last shown; reset when its end closes.
    std::optional<PeerLine> hostLine_;
    bool frameUnseenSaid_ = false;
    PcapWriter pcap_;
    const std::chrono::system_clock::time_point startWall_ = std::chrono::system_clock::now();
};

Relay::Relay(const Options& o) : o_(o), plan_(o.faults, o.seed) {
    const std::uint32_t pace = o.paceGiven ? o.paceBaud : o.device == DeviceKind::Virtual || o.spawn ? kDefaultPace : 0;
    toDevice_.byteTime = toHost_.byteTime = ByteTime(pace);
    quiet_ = std::max<Clock::duration>(ByteTime(pace ? pace : kDefaultPace) * kQuietByteTimes, kQuietAtLeast);
}

std::optional<int> Relay::Start() {
    std::string error;
    if (!o_.pcapPath.empty() && !pcap_.Open(o_.pcapPath, &error)) {
        Say(error);
        return kExitNoLink;
    }
    if (o_.device == DeviceKind::Port) {
        device_.ep = OpenDeviceEnd(o_.port, o_.timeoutMs, &error);
        if (!device_.ep) {
            Say(error);
            return kExitNoLink;
        }
        device_.state = End::State::Open;
    } else {
        auto pty = std::make_unique<PtyEndpoint>();
        const std::string dir = o_.spawn ? MakeTempDir("zolhost-link-") : o_.dir;
        if (o_.spawn) {
            spawned_ = std::make_unique<Spawned>();
            spawned_->dir = dir;
        }
        if (dir.empty()) {
            Say("cannot make a temp dir to run zolemul in");
            return kExitNoLink;
        }
        if (!pty->Create(dir, kDevicePortName, &error)) {
            Say(error);
            return kExitNoLink;
        }
        pty->KeepTransparent(true);
        if (o_.spawn) {
            if (!Spawn(*pty, &error)) {
                Say("zolemul: " + error);
                return kExitCheckFailed;
            }
        } else {
            Say("device end ready: " + pty->Name() + " -> " + pty->DevicePath() + "; start zolemul in " + dir);
        }
        device_.ep = std::move(pty);
        device_.name = device_.ep->Name();
        if (o_.spawn) {
            TryReopen(device_, Clock::now());  // it has the port open already
        } else if (o_.waitSeconds > 0) {
            waitUntil_ = start_ + std::chrono::seconds(o_.waitSeconds);
        }
    }
    host_.ep = MakeHostEnd(o_.hostPath, &error);
    if (!host_.ep) {
        Say(error);
        return kExitNoLink;
    }
    for (End* e : {&host_, &device_}) {
        e->name = e->ep->Name();
    }
    const auto pace = toHost_.byteTime.count() > 0 ? Printf("paced at %u baud", o_.paceGiven ? o_.paceBaud : kDefaultPace)
                                                   : std::string("not paced");
    Say("linking " + host_.name + " and " + device_.name + ", " + pace + "; Ctrl-C to stop");
    return std::nullopt;
}

// Starts zolemul in the device end's dir and waits until it has its port open, so
// that once the host end is ready (its URL printed) everything is.
bool Relay::Spawn(PtyEndpoint& pty, std::string* error) {
    const std::string exe = FindEmulator(o_.deviceExe, error);
    if (exe.empty() || !spawned_->console.Open(error)) {
        return false;
    }
    ChildProcess::Launch launch;
    launch.argv = {exe};
    launch.cwd = spawned_->dir;
    launch.console = spawned_->console.SlavePath();
    if (!spawned_->child.Start(launch, error)) {
        return false;
    }
    spawned_->started = true;
    Say("started zolemul: " + exe + " in " + spawned_->dir + ", its console on a pty");
    const auto deadline = Clock::now() + std::chrono::seconds(o_.waitSeconds > 0 ? o_.waitSeconds : kStartSeconds);
    if (!WaitOpened(pty, spawned_->child, deadline, error)) {
        return false;
    }
    pty.ReleaseDevice();  // the open is seen: from now on its closing is a hang-up
    return true;
}

// zolemul ends before its port goes, and its dir after both.
Relay::~Relay() {
    const std::string dir = spawned_ ? spawned_->dir : "";
    spawned_.reset();
    device_.ep.reset();
    if (!dir.empty()) {
        std::error_code ec;
        std::filesystem::remove(dir, ec);  // only when empty: nothing but ours goes
    }
}

int Relay::Run() {
    // Byte times are shorter than the default timer slack (50 us): wake on time.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    while (!StopRequested()) {
        const auto now = Clock::now();
        for (End* e : {&host_, &device_}) {
            if (e->state == End::State::Closed && now >= e->checkAt) {
                TryReopen(*e, now);
            }
        }
        Deliver(toDevice_, now);
        Deliver(toHost_, now);
        Quiet(toDevice_, now);
        Quiet(toHost_, now);
        if (waitUntil_ && device_.state == End::State::Unopened && now >= *waitUntil_) {
            Say("nothing opened " + device_.name + " within " + std::to_string(o_.waitSeconds) + " s");
            return kExitCheckFailed;
        }
        Poll(now);
        for (End* e : {&host_, &device_}) {
            Notes(*e, Clock::now());
        }
        if (pcap_.IsOpen()) {
            pcap_.Flush();
            if (!pcap_.Good()) {
                Say(pcap_.Error() + "; capturing stops");
                pcap_.Close();
            }
        }
    }
    Summary();
    return kExitGood;
}

// Sleeps until something happens on an end or the next thing falls due, and
// handles what happened.
void Relay::Poll(Clock::time_point now) {
    pollfd fds[7];
    nfds_t n = 0;
    fds[n++] = {StopWakeFd(), POLLIN, 0};
    auto add = [&](int fd, short events) {
        if (fd < 0 || events == 0) {
            return -1;
        }
        fds[n] = {fd, events, 0};
        return static_cast<int>(n++);
    };
    std::optional<Clock::time_point> next = waitUntil_;
    auto wakeAt = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    for (Line* l : {&toDevice_, &toHost_}) {
        End& e = *l->from;
        const Line& in = l == &toDevice_ ? toHost_ : toDevice_;
        short events = 0;
        // A closed pty master reports a hang-up at once, for as long as it lasts: it
        // is not watched then.
        if (e.state != End::State::Closed && l->queue.size() < kLineLimit) {
            events |= POLLIN;
        }
        if (e.state == End::State::Open && in.waitRoom) {
            events |= POLLOUT;
        }
        e.dataSlot = add(e.ep->PollFd(), events);
        e.watchSlot = e.state != End::State::Open ? add(e.ep->ComeBackFd(), POLLIN) : -1;
        e.busySlot = e.state == End::State::Open ? add(e.ep->BusyFd(), POLLIN) : -1;
        if (e.state == End::State::Closed) {
            wakeAt(e.checkAt);
        }
        if (!l->queue.empty() && !l->waitRoom) {
            wakeAt(l->queue.front().due);
        }
        if (l == &toDevice_ ? requests_.Pending() || !l->noise.empty() : replies_.Pending() || !l->noise.empty()) {
            wakeAt(l->lastInput + quiet_);
        }
    }
    timespec ts{};
    if (next) {
        const auto left = std::max(*next - now, Clock::duration::zero());
        ts.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(left).count());
        ts.tv_nsec = static_cast<long>((left - std::chrono::seconds(ts.tv_sec)) / 1ns);
    }
    if (ppoll(fds, n, next ? &ts : nullptr, nullptr) <= 0) {
        return;  // time, or a signal: the caller looks at everything again
    }
    now = Clock::now();
    for (Line* l : {&toDevice_, &toHost_}) {
        End& e = *l->from;
        Line& in = l == &toDevice_ ? toHost_ : toDevice_;
        const short rev = e.dataSlot >= 0 ? fds[e.dataSlot].revents : 0;
        if ((e.watchSlot >= 0 && fds[e.watchSlot].revents != 0) ||
            (e.state == End::State::Unopened && (rev & POLLIN) != 0)) {
            TryReopen(e, now);  // an open seen, or bytes from it: something may have it open
        }
        if (e.busySlot >= 0 && fds[e.busySlot].revents != 0) {
            e.ep->TurnAway();
        }
        if (e.dataSlot < 0 || e.state != End::State::Open) {
            continue;
        }
        if ((rev & POLLOUT) != 0) {
            in.waitRoom = false;
        }
        if ((rev & POLLIN) != 0) {
            Read(e, *l, now);
        } else if ((rev & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            Failed(e, (rev & POLLHUP) != 0 ? "hung up" : "error", now);
        }
    }
}

// A closed end, or one not opened yet: there now?
void Relay::TryReopen(End& e, Clock::time_point now) {
    if (e.ep->Reopen() != Io::Done) {
        if (e.state == End::State::Closed) {
            e.checkAt = now + kReopenEvery;
        }
        return;
    }
    const bool again = e.state == End::State::Closed;
    e.state = End::State::Open;
    Say(e.name + (again ? " opened again" : " opened"));
    Capture(From(e), nullptr, 0, now, e.name + (again ? " opened again" : " opened"));
}

void Relay::Failed(End& e, const std::string& why, Clock::time_point now) {
    if (e.state != End::State::Open) {
        return;
    }
    e.state = End::State::Closed;
    if (&e == &host_) {
        hostLine_.reset();
    }
    Capture(From(e), nullptr, 0, now, e.name + " closed (" + why + ")");
    Line& to = &e == &device_ ? toDevice_ : toHost_;
    to.waitRoom = false;
    to.unfinished = false;
    e.ep->Close();
    e.checkAt = now + kReopenEvery;
    Say(e.name + e.ep->WhileGone(why));
}

void Relay::Read(End& e, Line& l, Clock::time_point now) {
    std::uint8_t buf[4096];
    std::size_t n = 0;
    switch (e.ep->Read(buf, sizeof buf, &n)) {
    case Io::Done: break;
    case Io::WouldBlock: return;
    case Io::HungUp: Failed(e, "hung up", now); return;
    default: Failed(e, e.ep->Error(), now); return;
    }
    l.bytes += static_cast<std::uint64_t>(n);
    l.lastInput = now;
    std::vector<Segment> segments;
    if (&l == &toDevice_) {
        Notes(e, now);  // a setting the program made before these bytes applies to them
        // Traced as the device's receiver takes them.
        const std::uint8_t* p = buf;
        std::vector<std::uint8_t> garbled;
        Cross(l, p, n, &garbled);
        requests_.Feed(p, n, &segments);
        Queue(l, p, n, now);
        for (const Segment& s : segments) {
            Trace(l, s, now, "");
        }
    } else {
        replies_.Feed(buf, n, &segments);
        for (Segment& s : segments) {
            Forward(l, s, now);
        }
    }
}

// Device to host: noise goes on at once; a reply meets its faults.
void Relay::Forward(Line& l, Segment& s, Clock::time_point now) {
    if (s.kind != Segment::Kind::Reply) {
        Queue(l, s.bytes.data(), s.bytes.size(), now);
        Trace(l, s, now, "");
        return;
    }
    const ReplyFaults f = plan_.For(counts_.replies++);
    if (f.drop) {
        ++counts_.dropped;
        Trace(l, s, now, "dropped");
        return;
    }
    if (host_.state != End::State::Open) {
        ++counts_.unheard;
        Queue(l, s.bytes.data(), s.bytes.size(), now);
        Trace(l, s, now, "");
        return;
    }
    ++counts_.forwarded;
    std::string done;
    auto also = [&done](const std::string& what) { done += (done.empty() ? "" : ", ") + what; };
    std::vector<std::uint8_t> bytes = s.bytes;
    if (f.Corrupted()) {
        ApplyCorruption(f, bytes.data());
        ++counts_.corrupted;
        also(Printf("corrupted (offset %d: %02X -> %02X)", f.corruptAt, s.bytes[f.corruptAt], bytes[f.corruptAt]));
    }
    auto release = now;
    if (f.delayMs > 0) {
        release += std::chrono::milliseconds(f.delayMs);
        ++counts_.delayed;
        also(Printf("delayed %d ms", f.delayMs));
    }
    if (f.splitAt > 0) {
        const auto first = static_cast<std::size_t>(f.splitAt);
        Queue(l, bytes.data(), first, release);
        Queue(l, bytes.data() + first, bytes.size() - first, l.free + std::chrono::milliseconds(o_.faults.splitGapMs));
        ++counts_.split;
        also(Printf("split %d+%d, %d ms apart", f.splitAt, static_cast<int>(bytes.size() - first), o_.faults.splitGapMs));
    } else {
        Queue(l, bytes.data(), bytes.size(), release);
    }
    Trace(l, s, now, done, &bytes);
}

// The bytes go on the line after what is queued, and no sooner than release; each
// is due when its last bit is through.
void Relay::Queue(Line& l, const std::uint8_t* p, std::size_t n, Clock::time_point release) {
    std::vector<std::uint8_t> garbled;
    if (&l == &toHost_) {
        Cross(l, p, n, &garbled);  // traced as the device sent them
    }
    for (std::size_t i = 0; i < n; ++i) {
        l.free = std::max(l.free, release) + l.byteTime;
        l.queue.push_back({p[i], l.free});
    }
}

// Writes what has fallen due; a write the far end has not finished is finished
// first, once it has room.
void Relay::Deliver(Line& l, Clock::time_point now) {
    std::uint8_t buf[4096];
    while (!l.waitRoom) {
        std::size_t n = 0;
        while (n < l.queue.size() && n < sizeof buf && l.queue[n].due <= now) {
            buf[n] = l.queue[n].value;
            ++n;
        }
        if (n == 0 && !l.unfinished) {
            return;
        }
        if (l.to->state != End::State::Open) {
            l.lost += n;  // nothing at the far end: the line's bytes fall on the floor
            l.queue.erase(l.queue.begin(), l.queue.begin() + static_cast<std::ptrdiff_t>(n));
            continue;
        }
        std::size_t taken = 0;
        const Io r = l.to->ep->Write(buf, n, &taken);
        l.queue.erase(l.queue.begin(), l.queue.begin() + static_cast<std::ptrdiff_t>(taken));
        l.unfinished = r == Io::WouldBlock;
        if (r == Io::WouldBlock) {
            l.waitRoom = true;
        } else if (r != Io::Done) {
            Failed(*l.to, l.to->ep->Error(), now);
        }
    }
}

// A line quiet for a few byte times: bytes that never made a frame are given out.
void Relay::Quiet(Line& l, Clock::time_point now) {
    if (now < l.lastInput + quiet_) {
        return;
    }
    std::vector<Segment> segments;
    if (&l == &toDevice_) {
        requests_.Quiet(&segments);
        for (const Segment& s : segments) {
            Trace(l, s, now, "");
        }
    } else {
        replies_.Quiet(&segments);
        for (Segment& s : segments) {
            Forward(l, s, now);
        }
    }
    TraceNoise(l);
}

// What an end's peer did beside the data: traced, counted, and purges done on the
// link's own queues.
void Relay::Notes(End& e, Clock::time_point now) {
    std::vector<LineNote> notes;
    e.ep->TakeNotes(&notes);
    Line& toward = &e == &host_ ? toHost_ : toDevice_;
    Line& from = From(e);
    for (const LineNote& n : notes) {
        Capture(from, nullptr, 0, now, n.text);
        switch (n.kind) {
        case LineNote::Kind::Setting: ++e.settings; break;
        case LineNote::Kind::Control: ++e.controls; break;
        case LineNote::Kind::Purge: ++e.purges; break;
        case LineNote::Kind::Refused: ++e.refused; break;
        case LineNote::Kind::Peer: break;
        }
        if (n.dropToward) {
            Purge(toward);
        }
        if (n.dropFrom) {
            Purge(from);
        }
        if (o_.trace) {
            TraceNoise(toward);
            TraceLine(from, now, "", n.text);
        }
    }
    if (&e == &host_) {
        ShowHostLine(now);
    }
}

// Drops what a line holds, but for a write already begun, which is finished.
void Relay::Purge(Line& l) {
    l.purged += l.queue.size();
    l.queue.clear();
    l.free = Clock::now();
}

// One line per frame on stderr: microseconds since the start, direction, the bytes
// as they came, what they are and what the link did to them; and one packet per
// frame in the capture, with the bytes as they went on the line (`sent`, where a
// fault changed them) and what the link did as its comment. Noise is gathered
// until a frame follows or the line goes quiet.
void Relay::Trace(Line& l, const Segment& s, Clock::time_point at, const std::string& done,
                  const std::vector<std::uint8_t>* sent) {
    if (!o_.trace && !pcap_.IsOpen()) {
        return;
    }
    if (s.kind == Segment::Kind::Noise) {
        if (l.noise.empty()) {
            l.noiseAt = at;
        }
        l.noise.insert(l.noise.end(), s.bytes.begin(), s.bytes.end());
        return;
    }
    TraceNoise(l);
    std::string did = done;
    auto also = [&did](const std::string& what) { did += (did.empty() ? "" : ", ") + what; };
    if (HostDiffers() != nullptr) {
        const std::string at = PeerLineText(*hostLine_);
        also(o_.mismatchWarn ? "passed on unchanged although the host's line is " + at
                             : &l == &toDevice_ ? "as the device took it from the host's " + at
                                                : "garbled on the way to the host's " + at);
    }
    if (did.empty() && l.to->state != End::State::Open) {
        also(std::string("lost: the ") + (l.to == &host_ ? "host" : "device") + " end is not open");
    }
    const std::vector<std::uint8_t>& onLine = sent != nullptr ? *sent : s.bytes;
    Capture(l, onLine.data(), onLine.size(), at, did);
    if (!o_.trace) {
        return;
    }
    TraceLine(l, at, Hex(s.bytes.data(), s.bytes.size()), s.what + (did.empty() ? "" : ", " + did));
}

void Relay::TraceNoise(Line& l) {
    if (l.noise.empty()) {
        return;
    }
    Capture(l, l.noise.data(), l.noise.size(), l.noiseAt, "");
    if (o_.trace) {
        TraceLine(l, l.noiseAt, Hex(l.noise.data(), l.noise.size()), "noise");
    }
    l.noise.clear();
}

// A line of the trace: microseconds since the start, direction, bytes (or none for
// what happened beside them), and what it is.
void Relay::TraceLine(const Line& l, Clock::time_point at, const std::string& bytes, const std::string& what) const {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at - start_).count();
    std::fprintf(stderr, "%10lld %c %-26s  %s\n", static_cast<long long>(us), l.arrow, bytes.c_str(), what.c_str());
}

// A packet of the line's bytes, or with none a note, in the capture (if any).
void Relay::Capture(const Line& l, const std::uint8_t* p, std::size_t n, Clock::time_point at,
                    const std::string& note) {
    if (!pcap_.IsOpen()) {
        return;
    }
    const auto wall = startWall_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(at - start_);
    const auto us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(wall.time_since_epoch()).count());
    const auto d = &l == &toDevice_ ? PcapWriter::Direction::HostToDevice : PcapWriter::Direction::DeviceToHost;
    if (n == 0) {
        pcap_.Note(d, us, note);
    } else {
        pcap_.Packet(d, us, p, n, note);
    }
}

// The host's line settings, when they differ from the device's.
const LineSettings* Relay::HostDiffers() const {
    return hostLine_ && hostLine_->settings != kDeviceLine ? &hostLine_->settings : nullptr;
}

// Says, on standard error and in the trace and capture, how the host program has
// set its line, whenever that is new: when its end opens and on each change.
void Relay::ShowHostLine(Clock::time_point now) {
    if (host_.state != End::State::Open) {
        return;
    }
    const std::optional<PeerLine> line = host_.ep->PeerSettings();
    if (!line || line == hostLine_) {
        return;
    }
    const bool before = HostDiffers() != nullptr;
    hostLine_ = line;
    std::string text = "host line: " + PeerLineText(*line);
    if (!line->frameShown && !frameUnseenSaid_) {
        text += " (a pty shows no data bits or parity: taken as 8N)";
        frameUnseenSaid_ = true;
    }
    const LineSettings& h = line->settings;
    const LineSettings& d = kDeviceLine;
    if (h == d) {
        text += before ? ", as the device's again: bytes pass unchanged" : ", as the device's";
    } else {
        std::string differ;
        auto add = [&differ](const std::string& what) { differ += (differ.empty() ? "" : ", ") + what; };
        if (h.baud != d.baud) {
            add(std::to_string(h.baud) + " baud against the device's " + std::to_string(d.baud));
        }
        if (h.dataBits != d.dataBits) {
            add(std::to_string(h.dataBits) + " data bits against " + std::to_string(d.dataBits));
        }
        if (h.parity != d.parity) {
            add(std::string("parity ") + ParityLetter(h.parity) + " against " + ParityLetter(d.parity));
        }
        if (h.stopSize != d.stopSize) {
            add(std::string(StopBitsText(h.stopSize)) + " stop bits against " + StopBitsText(d.stopSize));
        }
        text += "; it differs from the device's " + SettingsText(d) + " (" + differ + "): " +
                (o_.mismatchWarn ? "bytes pass unchanged (--mismatch warn), as no real device would take them"
                                 : "bytes are garbled both ways, as a UART at the other setting takes them");
    }
    Capture(toDevice_, nullptr, 0, now, text);
    if (o_.trace) {
        TraceLine(toDevice_, now, "", text);
    } else {
        Say(text);
    }
}

// The bytes p[0..n) as the far end's receiver takes them: while the host's line
// differs from the device's, counted and (unless only warned of) garbled, p and n
// then pointing into *garbled.
void Relay::Cross(Line& l, const std::uint8_t*& p, std::size_t& n, std::vector<std::uint8_t>* garbled) {
    const LineSettings* host = HostDiffers();
    if (host == nullptr) {
        return;
    }
    l.crossed += n;
    if (!o_.mismatchWarn) {
        *garbled = &l == &toDevice_ ? UartReceive(*host, kDeviceLine, p, n) : UartReceive(kDeviceLine, *host, p, n);
        p = garbled->data();
        n = garbled->size();
    }
    l.arrived += n;
}

void Relay::Summary() const {
    const ReplyCounts& c = counts_;
    std::printf("link summary (seed %" PRIu64 "):\n", o_.seed);
    std::printf("  host to device: %" PRIu64 " bytes; requests seen: %" PRIu64 "\n", toDevice_.bytes,
                requests_.GoodRequests());
    std::printf("  device to host: %" PRIu64 " bytes; replies: %" PRIu64 ", forwarded %" PRIu64 ", dropped %" PRIu64
                ", corrupted %" PRIu64 ", delayed %" PRIu64 ", split %" PRIu64,
                toHost_.bytes, c.replies, c.forwarded, c.dropped, c.corrupted, c.delayed, c.split);
    if (c.unheard > 0) {
        std::printf(", while the host end was closed %" PRIu64, c.unheard);
    }
    std::printf("\n");
    if (toDevice_.lost + toHost_.lost > 0) {
        std::printf("  lost while an end was closed: %" PRIu64 " bytes to the device, %" PRIu64 " to the host\n",
                    toDevice_.lost, toHost_.lost);
    }
    for (const End* e : {&host_, &device_}) {
        const std::string state = e->ep->LineState();
        if (!state.empty() || e->settings + e->controls + e->purges + e->refused > 0) {
            std::printf("  %s line: %s%s%" PRIu64 " settings, %" PRIu64 " control changes, %" PRIu64
                        " purges, %" PRIu64 " refused requests\n",
                        e == &host_ ? "host" : "device", state.c_str(), state.empty() ? "" : "; ", e->settings,
                        e->controls, e->purges, e->refused);
        }
    }
    if (toDevice_.crossed + toHost_.crossed > 0) {
        if (o_.mismatchWarn) {
            std::printf("  passed unchanged while the host's line differed from the device's: %" PRIu64
                        " bytes to the device, %" PRIu64 " to the host\n",
                        toDevice_.crossed, toHost_.crossed);
        } else {
            std::printf("  garbled while the host's line differed from the device's: %" PRIu64
                        " bytes to the device (it took %" PRIu64 "), %" PRIu64 " to the host (it took %" PRIu64 ")\n",
                        toDevice_.crossed, toDevice_.arrived, toHost_.crossed, toHost_.arrived);
        }
    }
    if (toDevice_.purged + toHost_.purged > 0) {
        std::printf("  purged: %" PRIu64 " bytes to the device, %" PRIu64 " to the host\n", toDevice_.purged,
                    toHost_.purged);
    }
    std::fflush(stdout);
}

}  // namespace

int RunLink(const Options& o) {
    Relay relay(o);
    if (const std::optional<int> failed = relay.Start()) {
        return *failed;
    }
    return relay.Run();
}

}  // namespace zolhost
