#include "host/link/relay.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <sstream>

#include "host/base/text.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;

// A line this long without bytes is quiet, but never shorter than the system's
// own hiccups: a device's writer that filled its pty waits to be woken once the
// link has read, and on a busy machine that takes many milliseconds (at 2 ms a
// flood on a loaded machine saw replies cut in two and given out as noise; at
// 20 ms, still now and then). Only bytes that never make a frame wait this long.
constexpr int kQuietByteTimes = 4;
constexpr auto kQuietAtLeast = 50ms;

Clock::duration QuietTime(std::uint32_t paceBaud) {
    return std::max<Clock::duration>(ByteTime(paceBaud ? paceBaud : kDeviceLine.baud) * kQuietByteTimes, kQuietAtLeast);
}

LinkEvent NoteEvent(bool toDevice, const std::string& text, Clock::time_point at) {
    LinkEvent e;
    e.kind = LinkEvent::Kind::Note;
    e.at = at;
    e.toDevice = toDevice;
    e.what = text;
    return e;
}

}  // namespace

namespace {

constexpr char kConfigTag[] = "zol-link";
constexpr int kConfigTagVersion = 2;

}  // namespace

std::string RelayConfigTag(const RelayConfig& c) {
    char b[256];
    std::snprintf(b, sizeof b, "%s %d pace=%u %s seed=%llu mismatch=%s", kConfigTag, kConfigTagVersion, c.paceBaud,
                  FaultSettingsText(c.faults).c_str(), static_cast<unsigned long long>(c.seed),
                  c.mismatchWarn ? "warn" : "garble");
    return b;
}

bool ParseRelayConfigTag(const std::string& tag, RelayConfig* c, std::string* error) {
    std::istringstream in(tag);
    std::string word;
    std::uint64_t version = 0;
    if (!(in >> word) || word != kConfigTag) {
        *error = "no link options";
        return false;
    }
    if (!(in >> word) || !ParseUnsigned(word, 1, 1000000, &version)) {
        *error = "link options with no version";
        return false;
    }
    if (version != kConfigTagVersion) {
        *error = "link options of version " + std::to_string(version) + ", this zolhost reads version " +
                 std::to_string(kConfigTagVersion);
        return false;
    }
    // Each option once, its value as the command line takes it.
    RelayConfig r;
    std::vector<std::string> seen;
    while (in >> word) {
        const std::size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        std::uint64_t n = 0;
        std::string needs;
        if (eq == std::string::npos || std::find(seen.begin(), seen.end(), key) != seen.end()) {
            needs = "one value, given once";
        } else if (key == "pace") {
            needs = ParsePaceBaud(value, &r.paceBaud) ? "" : kPaceBaudNeeds;
        } else if (key == "drop" || key == "corrupt") {
            needs = ParseReal(value, 0, 100, key == "drop" ? &r.faults.dropPct : &r.faults.corruptPct) ? "" : kPercentNeeds;
        } else if (key == "delay") {
            needs = ParseDelay(value, &r.faults) ? "" : kDelayNeeds;
        } else if (key == "split") {
            const bool ok = value == "-1" || ParseUnsigned(value, 0, kMaxFaultMs, &n);
            r.faults.splitGapMs = value == "-1" ? -1 : static_cast<int>(n);
            needs = ok ? "" : std::string(kFaultMsNeeds) + ", or -1: none";
        } else if (key == "seed") {
            needs = ParseUnsigned(value, 0, UINT64_MAX, &r.seed) ? "" : "a number";
        } else if (key == "mismatch") {
            r.mismatchWarn = value == "warn";
            needs = value == "warn" || value == "garble" ? "" : "garble or warn";
        } else {
            needs = "an option this zolhost knows";
        }
        if (!needs.empty()) {
            *error = "damaged link options: " + word + " (needs " + needs + ")";
            return false;
        }
        seen.push_back(key);
    }
    if (seen.size() != 7) {
        *error = "damaged link options: some are missing (" + tag + ")";
        return false;
    }
    if (std::string fault = FaultSettingsFault(r.faults, kTagNames); !fault.empty()) {
        *error = "damaged link options: " + fault;
        return false;
    }
    *c = r;
    return true;
}

namespace {

constexpr const char* kSteerKinds[] = {"freeze", "thaw", "unplug", "plug"};

}  // namespace

std::string SteerChangeTag(const SteerChangeAt& c) {
    return std::string(kSteerChangeWord) + " " + kSteerKinds[static_cast<int>(c.kind)] + " from=" +
           std::to_string(c.fromReply) + " taken=" + std::to_string(c.taken) + " delivered=" +
           std::to_string(c.delivered);
}

bool ParseSteerChangeTag(const std::string& tag, SteerChangeAt* c) {
    std::istringstream in(tag);
    std::string word, kind, from, taken, delivered, more;
    if (!(in >> word >> kind >> from >> taken >> delivered) || (in >> more) || word != kSteerChangeWord) {
        return false;
    }
    const auto* k = std::find(std::begin(kSteerKinds), std::end(kSteerKinds), kind);
    auto count = [](const std::string& w, const char* key, std::uint64_t* v) {
        const std::string head = std::string(key) + "=";
        return w.rfind(head, 0) == 0 && ParseUnsigned(w.substr(head.size()), 0, UINT64_MAX, v);
    };
    SteerChangeAt r;
    if (k == std::end(kSteerKinds) || !count(from, "from", &r.fromReply) || !count(taken, "taken", &r.taken) ||
        !count(delivered, "delivered", &r.delivered)) {
        return false;
    }
    r.kind = static_cast<SteerChangeAt::Kind>(k - std::begin(kSteerKinds));
    *c = r;
    return true;
}

Relay::Relay(const RelayConfig& config, LinkRecord& record)
    : config_(config),
      record_(record),
      quiet_(QuietTime(config.paceBaud)),
      toDevice_(config.paceBaud),
      toHost_(config.paceBaud),
      plan_(config.faults, config.seed),
      garble_(config.mismatchWarn) {}

void Relay::Opened(Side s, const std::string& name, bool again, Clock::time_point now) {
    open_[Index(s)] = true;
    RecordNote(s == Side::Host, name + (again ? " opened again" : " opened"), now, false);
}

void Relay::Closed(Side s, const std::string& text, Clock::time_point now) {
    open_[Index(s)] = false;
    if (s == Side::Host) {
        garble_.SetHostLine(std::nullopt);
    }
    RecordNote(s == Side::Host, text, now, false);
}

void Relay::SetFaults(const FaultSettings& f, std::uint32_t paceBaud, Clock::time_point now) {
    config_.faults = f;
    plan_ = FaultPlan(f, config_.seed);
    if (paceBaud != config_.paceBaud) {
        config_.paceBaud = paceBaud;
        toDevice_.line.SetPace(paceBaud);
        toHost_.line.SetPace(paceBaud);
        quiet_ = QuietTime(paceBaud);
    }
    RecordNote(false, FaultChangeTag({replyCount_, f, paceBaud}), now, true);
}

SteerChangeAt Relay::Place(SteerChangeAt::Kind kind) const {
    SteerChangeAt c;
    c.kind = kind;
    c.fromReply = replyCount_;
    c.taken = toDevice_.counts.bytes;
    c.delivered = toHost_.counts.delivered;
    return c;
}

void Relay::Freeze(bool frozen, Clock::time_point now) {
    if (frozen != frozen_) {
        frozen_ = frozen;
        RecordNote(true, SteerChangeTag(Place(frozen ? SteerChangeAt::Kind::Freeze : SteerChangeAt::Kind::Thaw)), now,
                   true);
    }
}

void Relay::Steered(SteerChangeAt::Kind kind, Clock::time_point now) {
    RecordNote(true, SteerChangeTag(Place(kind)), now, true);
}

bool Relay::Reached(const SteerChangeAt& c, Clock::time_point now) const {
    return toDevice_.counts.bytes >= c.taken && replyCount_ >= c.fromReply &&
           toHost_.counts.delivered >= c.delivered &&
           ((c.kind != SteerChangeAt::Kind::Plug && c.kind != SteerChangeAt::Kind::Unplug) ||
            now >= steeredAt_ + std::chrono::microseconds(c.afterUs));
}

std::optional<SteerChangeAt::Kind> Relay::NextRecordedChange(Clock::time_point now,
                                                             const std::function<bool()>& hostUnread) {
    unreadCheckAt_.reset();
    if (toHost_.counts.delivered != deliveredSeen_) {
        deliveredSeen_ = toHost_.counts.delivered;
        deliveredSeenAt_ = now;
    }
    while (nextSteer_ < config_.steerChanges.size() && Reached(config_.steerChanges[nextSteer_], now)) {
        const SteerChangeAt& c = config_.steerChanges[nextSteer_];
        const auto holdEnds = steeredAt_ + std::chrono::microseconds(c.afterUs) + std::chrono::milliseconds(kUnreadHoldMs);
        const auto settled = deliveredSeenAt_ + std::chrono::milliseconds(kUnreadSettleMs);
        if (c.kind == SteerChangeAt::Kind::Unplug && hostUnread && now < holdEnds && (now < settled || hostUnread())) {
            unreadCheckAt_ = std::min(holdEnds, std::max(settled, now + std::chrono::milliseconds(5)));
            return std::nullopt;
        }
        const SteerChangeAt::Kind kind = config_.steerChanges[nextSteer_++].kind;
        steeredAt_ = now;
        if (kind == SteerChangeAt::Kind::Unplug || kind == SteerChangeAt::Kind::Plug) {
            return kind;
        }
        Freeze(kind == SteerChangeAt::Kind::Freeze, now);
    }
    return std::nullopt;
}

void Relay::Take(Side from, const std::uint8_t* p, std::size_t n, Clock::time_point now) {
    if (from == Side::Device) {
        Line& l = toHost_;
        l.counts.bytes += n;
        l.lastInput = now;
        std::vector<Segment> segments;
        replies_.Feed(p, n, &segments);
        for (Segment& s : segments) {
            Forward(s, now);
        }
        return;
    }
    // A recorded freeze or thaw whose place lies in these bytes is made there.
    while (nextSteer_ < config_.steerChanges.size()) {
        const SteerChangeAt& c = config_.steerChanges[nextSteer_];
        const std::uint64_t taken = toDevice_.counts.bytes;
        if ((c.kind != SteerChangeAt::Kind::Freeze && c.kind != SteerChangeAt::Kind::Thaw) || c.taken >= taken + n) {
            break;
        }
        const std::size_t before = c.taken > taken ? static_cast<std::size_t>(c.taken - taken) : 0;
        TakeFromHost(p, before, now);
        p += before;
        n -= before;
        ++nextSteer_;
        steeredAt_ = now;
        Freeze(c.kind == SteerChangeAt::Kind::Freeze, now);
    }
    TakeFromHost(p, n, now);
}

void Relay::TakeFromHost(const std::uint8_t* p, std::size_t n, Clock::time_point now) {
    Line& l = toDevice_;
    l.counts.bytes += n;
    l.lastInput = now;
    // Cut as the device's receiver takes them, after the host's line had its say.
    std::vector<Segment> segments;
    std::vector<std::uint8_t> garbled;
    garble_.Cross(true, p, n, &garbled);
    requests_.Feed(p, n, &segments);
    if (!frozen_) {
        l.line.Queue(p, n, now);
    }
    for (Segment& s : segments) {
        Record(true, s, now, frozen_ ? "taken by the frozen device, unanswered" : "");
    }
}

// Device to host: noise goes on at once; a reply meets its faults.
void Relay::Forward(Segment& s, Clock::time_point now) {
    if (s.kind != Segment::Kind::Reply) {
        QueueToHost(s.bytes.data(), s.bytes.size(), now);
        Record(false, s, now, "");
        return;
    }
    while (nextChange_ < config_.faultChanges.size() && config_.faultChanges[nextChange_].fromReply <= replyCount_) {
        const FaultChangeAt& c = config_.faultChanges[nextChange_++];
        SetFaults(c.faults, c.paceBaud.value_or(config_.paceBaud), now);
    }
    const std::uint64_t index = replyCount_++;
    const ReplyFaults f = plan_.For(index);
    if (f.drop) {
        Record(false, s, now, "dropped", nullptr, &f, index);
        return;
    }
    if (!IsOpen(Side::Host)) {
        QueueToHost(s.bytes.data(), s.bytes.size(), now);
        Record(false, s, now, "", nullptr, &f, index);
        return;
    }
    const FaultedReply r = ApplyFaults(f, s.bytes, config_.faults.splitGapMs);
    const Clock::time_point release = now + std::chrono::milliseconds(r.delayMs);
    if (r.splitAt > 0) {
        QueueToHost(r.bytes.data(), r.splitAt, release);
        QueueToHost(r.bytes.data() + r.splitAt, r.bytes.size() - r.splitAt,
                    toHost_.line.Free() + std::chrono::milliseconds(config_.faults.splitGapMs));
    } else {
        QueueToHost(r.bytes.data(), r.bytes.size(), release);
    }
    Record(false, s, now, r.did, &r.bytes, &f, index);
}

// Toward the host the bytes cross to the host's line after the faults: they are
// recorded as the device sent them.
void Relay::QueueToHost(const std::uint8_t* p, std::size_t n, Clock::time_point release) {
    std::vector<std::uint8_t> garbled;
    garble_.Cross(false, p, n, &garbled);
    toHost_.line.Queue(p, n, release);
}

void Relay::Note(Side from, const LineNote& note, Clock::time_point now) {
    const bool fromHost = from == Side::Host;
    RecordNoise(!fromHost);
    LinkEvent e = NoteEvent(fromHost, note.text, now);
    e.peerNote = true;
    e.noteKind = note.kind;
    e.noteFrom = from;
    record_.Add(e);
    if (note.dropToward) {
        Toward(from).counts.purged += Toward(from).line.Purge(now);
    }
    if (note.dropFrom) {
        Toward(Other(from)).counts.purged += Toward(Other(from)).line.Purge(now);
    }
}

void Relay::HostLine(const std::optional<PeerLine>& line, Clock::time_point now) {
    if (!line || !IsOpen(Side::Host)) {
        return;
    }
    const std::string text = garble_.SetHostLine(line);
    if (!text.empty()) {
        RecordNote(true, text, now, true, true);
    }
}

void Relay::Quiet(Clock::time_point now) {
    for (Line* l : {&toDevice_, &toHost_}) {
        // While the link waits for room it does not read the line's source, which
        // may well be sending: that wait is not quiet. The quiet time counts from
        // when reading goes on again.
        if (!HasRoom(l == &toDevice_ ? Side::Host : Side::Device)) {
            l->unread = true;
            continue;
        }
        if (l->unread) {
            l->unread = false;
            l->lastInput = now;
        }
        if (now < l->lastInput + quiet_) {
            continue;
        }
        std::vector<Segment> segments;
        if (l == &toDevice_) {
            requests_.Quiet(&segments);
            for (Segment& s : segments) {
                Record(true, s, now, "");
            }
        } else {
            replies_.Quiet(&segments);
            for (Segment& s : segments) {
                Forward(s, now);
            }
        }
        RecordNoise(l == &toDevice_);
    }
}

std::size_t Relay::Due(Side to, Clock::time_point now, std::uint8_t* buf, std::size_t max) const {
    return Toward(to).line.Due(now, buf, max);
}

void Relay::Pop(Side to, std::size_t n) {
    Toward(to).line.Pop(n);
    Toward(to).counts.delivered += n;
}

void Relay::Lose(Side to, std::size_t n) {
    Toward(to).line.Pop(n);
    Toward(to).counts.lost += n;
}

std::optional<Clock::time_point> Relay::NextWake(const std::function<bool(Side)>& waitingForRoom) const {
    std::optional<Clock::time_point> next;
    auto wakeAt = [&next](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    for (const Line* l : {&toDevice_, &toHost_}) {
        const Side to = l == &toDevice_ ? Side::Device : Side::Host;
        if (const auto due = l->line.NextDue(); due && !(waitingForRoom && waitingForRoom(to))) {
            wakeAt(*due);
        }
        const bool pending = l == &toDevice_ ? requests_.Pending() : replies_.Pending();
        // (Not while its source is left unread: the line's room coming back wakes it.)
        if ((pending || !l->noise.empty()) && HasRoom(Other(to))) {
            wakeAt(l->lastInput + quiet_);
        }
    }
    // A recorded unplug or plug at its place waits out its time (the rest come with bytes).
    if (nextSteer_ < config_.steerChanges.size() && Reached(config_.steerChanges[nextSteer_], Clock::time_point::max())) {
        const auto at = steeredAt_ + std::chrono::microseconds(config_.steerChanges[nextSteer_].afterUs);
        wakeAt(unreadCheckAt_ ? std::max(at, *unreadCheckAt_) : at);
    }
    return next;
}

// One event per frame: the bytes as they came, what they are and what the link did
// to them (`sent`: the bytes as they went on the line, where a fault changed them).
// Noise is gathered until a frame follows or the line goes quiet.
void Relay::Record(bool toDevice, Segment& s, Clock::time_point at, const std::string& done,
                   const std::vector<std::uint8_t>* sent, const ReplyFaults* faults, std::uint64_t replyIndex) {
    Line& l = toDevice ? toDevice_ : toHost_;
    if (s.kind == Segment::Kind::Noise) {
        if (l.noise.empty()) {
            l.noiseAt = at;
        }
        l.noise.insert(l.noise.end(), s.bytes.begin(), s.bytes.end());
        return;
    }
    RecordNoise(toDevice);
    LinkEvent e;
    e.at = at;
    e.toDevice = toDevice;
    e.segment = s.kind;
    e.good = s.good;
    e.reply = faults != nullptr;
    e.replyIndex = replyIndex;
    e.faults = faults != nullptr ? *faults : ReplyFaults{};
    e.unheard = e.reply && !e.faults.drop && !IsOpen(Side::Host);
    e.what = s.what;
    e.did = done;
    auto also = [&e](const std::string& what) { e.did += (e.did.empty() ? "" : ", ") + what; };
    if (const std::string note = garble_.FrameNote(toDevice); !note.empty()) {
        also(note);
    }
    if (e.did.empty() && !IsOpen(toDevice ? Side::Device : Side::Host)) {
        also(std::string("lost: the ") + (toDevice ? "device" : "host") + " end is not open");
    }
    e.bytes = std::move(s.bytes);
    if (sent != nullptr && *sent != e.bytes) {
        e.onLine = *sent;
    }
    record_.Add(e);
}

void Relay::RecordNoise(bool toDevice) {
    Line& l = toDevice ? toDevice_ : toHost_;
    if (l.noise.empty()) {
        return;
    }
    LinkEvent e;
    e.kind = LinkEvent::Kind::Noise;
    e.at = l.noiseAt;
    e.toDevice = toDevice;
    e.bytes = std::move(l.noise);
    e.what = "noise";
    l.noise.clear();
    record_.Add(e);
}

void Relay::RecordNote(bool toDevice, const std::string& text, Clock::time_point at, bool traced, bool sayUntraced) {
    LinkEvent e = NoteEvent(toDevice, text, at);
    e.traced = traced;
    e.sayUntraced = sayUntraced;
    record_.Add(e);
}

}  // namespace zolhost
