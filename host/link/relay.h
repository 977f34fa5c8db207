// The link's relay, with no descriptors in it: bytes and notes come in from either
// end with their time; out come the bytes due at each end and when the next thing
// falls due. Each direction is a pipeline of small stages:
//   host to device: garble (the host's line against the device's), cut into
//                   requests as the device's receiver takes them, a paced line;
//   device to host: cut into replies as a host program takes them, faults on each
//                   reply, garble, a paced line.
// Every frame, run of noise and note becomes one event of the link's record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/base/clock.h"
#include "host/link/record.h"
#include "host/stages/fault_plan.h"
#include "host/stages/frame_cut.h"
#include "host/stages/garble.h"
#include "host/stages/paced_line.h"

namespace zolhost {

// A change that whoever steers the link made to it, at its place in the session:
// after the host's first `taken` bytes, before reply number `fromReply`, with
// `delivered` bytes given to the host program. As the trace and a capture keep it:
// "zol-steer unplug from=12 taken=84 delivered=108".
struct SteerChangeAt {
    enum class Kind { Freeze, Thaw, Unplug, Plug };
    Kind kind = Kind::Freeze;
    std::uint64_t fromReply = 0;
    std::uint64_t taken = 0;
    std::uint64_t delivered = 0;
    std::int64_t afterUs = 0;  // in a recording: how long after the change before it
};
inline constexpr char kSteerChangeWord[] = "zol-steer";  // the tag's first word
std::string SteerChangeTag(const SteerChangeAt& c);
// Reads a tag back; false for any other text.
bool ParseSteerChangeTag(const std::string& tag, SteerChangeAt* c);

struct RelayConfig {
    std::uint32_t paceBaud = 0;  // 0: not paced
    FaultSettings faults;
    std::uint64_t seed = 1;
    bool mismatchWarn = false;   // a host line unlike the device's: warn only (not garble)
    // Faults changed at given replies, and steered at given places, each in order
    // (a replay of a steered session).
    std::vector<FaultChangeAt> faultChanges;
    std::vector<SteerChangeAt> steerChanges;
};

// The configuration as a capture's header keeps it, for a replay to build the same
// relay: "zol-link 2 pace=115200 drop=10 corrupt=0 delay=0-0 split=-1 seed=7 mismatch=garble".
std::string RelayConfigTag(const RelayConfig& c);
// Reads it back: false with *error when `tag` is no such text.
bool ParseRelayConfigTag(const std::string& tag, RelayConfig* c, std::string* error);

class Relay {
public:
    // Bytes a line holds before its source is left unread.
    static constexpr std::size_t kLineLimit = 4096;

    Relay(const RelayConfig& config, LinkRecord& record);

    // An end opened (again), or closed: while it is closed, bytes due toward it are
    // lost and replies toward the host go unheard.
    void Opened(Side s, const std::string& name, bool again, Clock::time_point now);
    void Closed(Side s, const std::string& text, Clock::time_point now);
    bool IsOpen(Side s) const { return open_[Index(s)]; }

    // Steered while the link runs, each change a note of the record at the frame
    // it takes effect from. Faults and pace: from the next reply on (replies keep
    // their numbers, so the seed still decides which), the pace for every byte
    // queued from now on, both ways. Frozen: the device's receiver still takes the
    // host's bytes, and nothing of them reaches the device.
    void SetFaults(const FaultSettings& f, std::uint32_t paceBaud, Clock::time_point now);
    const FaultSettings& Faults() const { return config_.faults; }
    void Freeze(bool frozen, Clock::time_point now);
    bool Frozen() const { return frozen_; }
    // The host end unplugged or plugged by whoever steers the link, noted at its place.
    void Steered(SteerChangeAt::Kind kind, Clock::time_point now);
    // A replay of a steered session: the next of the recorded unplugs and plugs
    // once the link has reached its place (an unplug or plug no sooner than as long after the
    // change before it as then), for the caller to make; freezes and thaws the relay
    // makes itself, at the latest before the host's first byte past their place.
    // An unplug also waits, up to kUnreadHoldMs past its time, while the host has
    // not read what it was given (`hostUnread`, asked only then): the session's host
    // had, where the unplug followed its reading, and a replay's host may be slower.
    // Bytes just handed to an end may not show in its peer's queue yet (a pty hands
    // them on from the kernel's own work): asked no sooner than kUnreadSettleMs after.
    static constexpr int kUnreadHoldMs = 2000;
    static constexpr int kUnreadSettleMs = 50;
    std::optional<SteerChangeAt::Kind> NextRecordedChange(Clock::time_point now,
                                                          const std::function<bool()>& hostUnread = nullptr);

    // Bytes read from an end.
    void Take(Side from, const std::uint8_t* p, std::size_t n, Clock::time_point now);
    // What an end's peer did beside the data; a purge drops what the link holds.
    void Note(Side from, const LineNote& note, Clock::time_point now);
    // The host program's line as its end shows it now (nullopt: it shows none).
    void HostLine(const std::optional<PeerLine>& line, Clock::time_point now);
    // Lines that have been quiet for a few byte times give out what never made a frame.
    void Quiet(Clock::time_point now);

    // The bytes due at end `to` by now, at most max, from the front of its line;
    // Pop takes n of them off once the end has them, Lose once they fell on the
    // floor at a closed end.
    std::size_t Due(Side to, Clock::time_point now, std::uint8_t* buf, std::size_t max) const;
    void Pop(Side to, std::size_t n);
    void Lose(Side to, std::size_t n);
    // Room to read from an end: its line onward has room; and the host's requests
    // wait while the replies toward it back up, which they would only add to (a
    // host that floods an unpaced link is held back, not answered into a device
    // whose output overflows).
    bool HasRoom(Side from) const {
        return Toward(Other(from)).line.Size() < kLineLimit &&
               (from == Side::Device || toHost_.line.Size() < kLineLimit);
    }
    // When the next byte falls due or a line's quiet time ends; nothing when
    // nothing waits. The bytes toward an end that waits for room are due when the
    // end says it has room, not by the clock: waitingForRoom(side) leaves them out.
    std::optional<Clock::time_point> NextWake(const std::function<bool(Side)>& waitingForRoom = nullptr) const;

    struct LineCounts {
        std::uint64_t bytes = 0;   // taken from the source
        std::uint64_t lost = 0;    // fell due while the far end was closed
        std::uint64_t purged = 0;  // dropped at a peer's request
        std::uint64_t delivered = 0;  // taken by the far end
    };
    const LineCounts& CountsToward(Side to) const { return Toward(to).counts; }
    const Garble& Garbling() const { return garble_; }
    // The line's own rate, when it is paced (for what the link says at the start).
    std::uint32_t PaceBaud() const { return config_.paceBaud; }

private:
    struct Line {
        explicit Line(std::uint32_t baud) : line(baud) {}
        PacedLine line;
        LineCounts counts;
        Clock::time_point lastInput{};
        bool unread = false;  // its source was left unread for want of room (Quiet saw)
        std::vector<std::uint8_t> noise;  // noise not recorded yet, from noiseAt on
        Clock::time_point noiseAt{};
    };
    static std::size_t Index(Side s) { return s == Side::Host ? 0 : 1; }
    static Side Other(Side s) { return s == Side::Host ? Side::Device : Side::Host; }
    Line& Toward(Side to) { return to == Side::Host ? toHost_ : toDevice_; }
    const Line& Toward(Side to) const { return to == Side::Host ? toHost_ : toDevice_; }

    void TakeFromHost(const std::uint8_t* p, std::size_t n, Clock::time_point now);
    SteerChangeAt Place(SteerChangeAt::Kind kind) const;
    bool Reached(const SteerChangeAt& c, Clock::time_point now) const;
    void Forward(Segment& s, Clock::time_point now);
    void QueueToHost(const std::uint8_t* p, std::size_t n, Clock::time_point release);
    void Record(bool toDevice, Segment& s, Clock::time_point at, const std::string& done,
                const std::vector<std::uint8_t>* sent = nullptr, const ReplyFaults* faults = nullptr,
                std::uint64_t replyIndex = 0);
    void RecordNoise(bool toDevice);
    void RecordNote(bool toDevice, const std::string& text, Clock::time_point at, bool traced, bool sayUntraced = false);

    RelayConfig config_;
    LinkRecord& record_;
    Clock::duration quiet_;  // follows the pace
    Line toDevice_;
    Line toHost_;
    bool open_[2] = {false, false};
    FaultPlan plan_;
    RequestStream requests_;
    ReplyStream replies_;
    std::uint64_t replyCount_ = 0;
    std::size_t nextChange_ = 0;  // of config_.faultChanges
    std::size_t nextSteer_ = 0;   // of config_.steerChanges
    Clock::time_point steeredAt_{};  // when the latest of them was made
    std::optional<Clock::time_point> unreadCheckAt_;  // an unplug held for the host's reading
    std::uint64_t deliveredSeen_ = 0;                 // toward the host, as last seen ...
    Clock::time_point deliveredSeenAt_{};             // ... and when
    bool frozen_ = false;
    Garble garble_;
};

}  // namespace zolhost
