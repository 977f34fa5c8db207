#include "host/replay/replay_ends.h"

#include <algorithm>

#include "host/base/text.h"
#include "protocol/frame_rules.h"

namespace zolhost {

Io PlayedEnd::Read(std::uint8_t* p, std::size_t n, std::size_t* got) {
    *got = 0;
    const auto now = Clock::now();
    while (!out_.empty() && out_.front().first <= now && *got < n) {
        std::vector<std::uint8_t>& bytes = out_.front().second;
        const std::size_t k = std::min(n - *got, bytes.size());
        std::copy_n(bytes.begin(), k, p + *got);
        *got += k;
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(k));
        if (bytes.empty()) {
            out_.pop_front();
        }
    }
    return *got > 0 ? Io::Done : Io::WouldBlock;
}

std::optional<Clock::time_point> PlayedEnd::ReadyAt() const {
    std::optional<Clock::time_point> t = wake_;
    if (!out_.empty()) {
        t = t ? std::min(*t, out_.front().first) : out_.front().first;
    }
    return t;
}

void PlayedEnd::Schedule(Clock::time_point at, std::span<const std::uint8_t> bytes) {
    // In order: nothing goes before what was scheduled earlier.
    if (!out_.empty()) {
        at = std::max(at, out_.back().first);
    }
    out_.emplace_back(at, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

namespace {

// Gaps in the recording longer than this are said before they are waited out.
constexpr auto kSayWaitsFrom = std::chrono::seconds(10);
constexpr auto kLeastSilence = std::chrono::milliseconds(2);

// How long the device is heard out where the recording owes nothing more: twice its
// usual (median) time to begin an answer then, at least kLeastSilence, at most the
// timeout, and a request's and a reply's time on the replay's line.
Clock::duration Silence(const std::vector<Exchange>& exchanges, Clock::duration timeout, std::uint32_t paceBaud) {
    std::vector<std::int64_t> firsts;
    for (const Exchange& e : exchanges) {
        if (e.request != nullptr && !e.answers.empty()) {
            firsts.push_back(e.AfterUs(e.answers.front()));
        }
    }
    Clock::duration usual = Clock::duration::zero();
    if (!firsts.empty()) {
        std::nth_element(firsts.begin(), firsts.begin() + static_cast<std::ptrdiff_t>(firsts.size() / 2), firsts.end());
        usual = std::chrono::microseconds(2 * firsts[firsts.size() / 2]);
    }
    return std::clamp<Clock::duration>(usual, kLeastSilence, std::max<Clock::duration>(timeout, kLeastSilence)) +
           ByteTime(paceBaud) * static_cast<long>(kRequestSize + kReplySize);
}

}  // namespace

ReplayHost::ReplayHost(const Recording& r, bool fast, int timeoutMs, std::uint32_t paceBaud)
    : PlayedEnd("replay of the recorded host program"),
      exchanges_(Exchanges(r)),
      fast_(fast),
      timeout_(std::chrono::milliseconds(timeoutMs)),
      silence_(Silence(exchanges_, timeout_, paceBaud)),
      deadline_(exchanges_.size()),
      latest_(exchanges_.size()) {}

Io ReplayHost::Reopen() {
    if (!start_) {
        start_ = Clock::now();
        Tick(*start_);
    }
    return Io::Done;
}

// Sends what is due, and settles an exchange whose time is up.
void ReplayHost::Tick(Clock::time_point now) {
    if (!start_) {
        return;
    }
    while (settled_ < sent_ && now >= deadline_[settled_]) {
        Settle(now, true);
    }
    while (sent_ < exchanges_.size()) {
        const Exchange& e = exchanges_[sent_];
        const auto due = fast_ ? now : *start_ + std::chrono::microseconds(e.request ? e.request->atUs : 0);
        if ((fast_ && settled_ < sent_) || due > now) {
            break;
        }
        if (e.request != nullptr) {
            Schedule(now, e.request->bytes);
        }
        const std::int64_t lastUs = e.answers.empty() ? 0 : e.AfterUs(e.answers.back());
        const bool owed = e.AnswerBytes() > 0;
        latest_[sent_] = now + std::chrono::microseconds(lastUs) + timeout_;
        deadline_[sent_] = owed || !fast_ ? latest_[sent_] : now + silence_;
        ++sent_;
    }
    SayLongWait(now);
    while (settled_ < sent_ && exchanges_[settled_].AnswerBytes() == 0 && settled_ + 1 < sent_ &&
           (!MidReply() || now >= latest_[settled_])) {
        Settle(now, false);  // nothing owed, and the next packet is out: nothing more comes for it
    }
    if (settled_ == exchanges_.size() && !heardOutAt_) {
        heardOutAt_ = now + silence_;  // what the device sends now is more than it sent then
    }
    done_ = heardOutAt_ && now >= *heardOutAt_;
    wake_.reset();
    if (settled_ < sent_) {
        wake_ = deadline_[settled_];
    } else if (heardOutAt_ && !done_) {
        wake_ = heardOutAt_;
    }
    if (sent_ < exchanges_.size() && !fast_) {
        const Exchange& e = exchanges_[sent_];
        const auto due = *start_ + std::chrono::microseconds(e.request ? e.request->atUs : 0);
        wake_ = wake_ ? std::min(*wake_, due) : due;
    }
}

Io ReplayHost::Read(std::uint8_t* p, std::size_t n, std::size_t* got) {
    Tick(Clock::now());
    return PlayedEnd::Read(p, n, got);
}

std::optional<Clock::time_point> ReplayHost::ReadyAt() const {
    return PlayedEnd::ReadyAt();
}

// A request due a long time from now (a gap in the recording) is said, not waited
// for in silence.
void ReplayHost::SayLongWait(Clock::time_point now) {
    if (fast_ || sent_ >= exchanges_.size() || announced_ > sent_ || exchanges_[sent_].request == nullptr) {
        return;
    }
    const Recorded& next = *exchanges_[sent_].request;
    const auto due = *start_ + std::chrono::microseconds(next.atUs);
    announced_ = sent_ + 1;
    if (due - now >= kSayWaitsFrom) {
        Say("replay: frame " + std::to_string(next.frame) + " is sent at its recorded time, " +
            SecondsText(std::chrono::duration_cast<std::chrono::microseconds>(due - now).count()) +
            " from now (--fast sends each packet once the one before is answered)");
    }
}

Io ReplayHost::Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) {
    *taken = n;
    const auto now = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        if (settled_ == sent_) {
            unexpected_.push_back(p[i]);
            continue;
        }
        got_.push_back(p[i]);
        const std::size_t owed = exchanges_[settled_].AnswerBytes();
        if (got_.size() == owed || (owed == 0 && settled_ + 1 < sent_ && !MidReply())) {
            Settle(now, false);  // all it owed, or a whole unrecorded reply while the next packet is out
        } else if (got_.size() > owed && fast_) {
            // More than the device said then: a reply begun is heard to its end, and
            // the device heard out after it, as after the request.
            deadline_[settled_] = MidReply() ? latest_[settled_] : std::min(now + silence_, latest_[settled_]);
        }
    }
    Tick(now);
    return Io::Done;
}

// The device has begun a reply that the recording does not hold and not ended it:
// what follows is the rest of it, not an answer to the next packet.
bool ReplayHost::MidReply() const {
    const std::size_t owed = exchanges_[settled_].AnswerBytes();
    return got_.size() > owed && (got_.size() - owed) % kReplySize != 0;
}

// Holds what came for the oldest open exchange against what the device sent then,
// packet by packet.
void ReplayHost::Settle(Clock::time_point, bool timedOut) {
    (void)timedOut;
    const Exchange& e = exchanges_[settled_];
    std::size_t at = 0;

    for (const Recorded& a : e.answers) {
        const std::span<const std::uint8_t> want = a.bytes;
        const std::size_t end = std::min(got_.size(), at + want.size());
        const std::vector<std::uint8_t> got(got_.begin() + static_cast<std::ptrdiff_t>(std::min(at, got_.size())),
                                            got_.begin() + static_cast<std::ptrdiff_t>(end));
        ++compared_;
        if (!std::equal(got.begin(), got.end(), want.begin(), want.end())) {
            differences_.push_back({a.frame, a.atUs, std::vector<std::uint8_t>(want.begin(), want.end()), got});
        }
        at += want.size();
    }
    if (got_.size() > at) {  // the device said more than it did then
        differences_.push_back({e.request != nullptr ? e.request->frame : 0, e.request != nullptr ? e.request->atUs : 0,
                                {}, std::vector<std::uint8_t>(got_.begin() + static_cast<std::ptrdiff_t>(at), got_.end()),
                                true});
    }
    got_.clear();
    ++settled_;
}

RecordedDevice::RecordedDevice(const Recording& r, bool stopAtDeviation, Clock::time_point start)
    : PlayedEnd("recorded device"),
      exchanges_(Exchanges(r, true)),
      byteTime_(ByteTime(r.relay.paceBaud)),
      stop_(stopAtDeviation),
      start_(start) {
    if (!exchanges_.empty() && exchanges_.front().request == nullptr) {
        Answer(exchanges_.front(), start);  // what the device sent before the host sent anything
        next_ = 1;
    }
}

// What the device sent after the request, as long after it as then; a paced line
// gives the request's own bytes their time first.
void RecordedDevice::Answer(const Exchange& e, Clock::time_point now) {
    const Clock::duration lineTime =
        e.request != nullptr ? byteTime_ * static_cast<long>(e.request->bytes.size()) : Clock::duration::zero();
    for (const Recorded& a : e.answers) {
        if (a.toDevice) {
            continue;  // a request the frozen device took
        }
        const auto after = std::chrono::microseconds(e.AfterUs(a)) - lineTime;
        Schedule(now + std::max<Clock::duration>(after, Clock::duration::zero()), a.bytes);
    }
}

Io RecordedDevice::Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) {
    *taken = n;
    if (stopped_ || n == 0) {
        return Io::Done;
    }
    const auto now = Clock::now();
    if (!firstByte_) {
        firstByte_ = now;
    }
    got_.insert(got_.end(), p, p + n);
    while (!got_.empty() && !stopped_) {
        if (next_ >= exchanges_.size()) {
            Beyond(now);
            break;
        }
        const std::span<const std::uint8_t> want = exchanges_[next_].request->bytes;
        if (got_.size() < want.size()) {
            break;  // the rest of the request is still on its way
        }
        if (!std::equal(want.begin(), want.end(), got_.begin())) {
            Deviate(now);
            continue;
        }
        got_.erase(got_.begin(), got_.begin() + static_cast<std::ptrdiff_t>(want.size()));
        Answer(exchanges_[next_++], now);
        ++matched_;
    }
    return Io::Done;
}

std::string RecordedDevice::Since(Clock::time_point now) const {
    return SecondsText(std::chrono::duration_cast<std::chrono::microseconds>(now - *firstByte_).count());
}

// The host program sent something else than the recording holds: said where, in
// one line; then the replay ends, or the bytes are answered as the device's frame
// rules would.
void RecordedDevice::Deviate(Clock::time_point now) {
    ++deviations_;
    const Recorded& want = *exchanges_[next_].request;
    const std::size_t n = want.bytes.size();
    Say("the host program deviates at " + Since(now) + " from the recording's frame " + std::to_string(want.frame) +
        " (at " + SecondsText(want.atUs) + "): expected " + Hex(want.bytes.data(), n) + ", received " + Hex(got_.data(), n));
    if (stop_) {
        stopped_ = true;
        return;
    }
    ByRules(got_.data(), n, now, nullptr);
    got_.erase(got_.begin(), got_.begin() + static_cast<std::ptrdiff_t>(n));
    ++next_;
}

// Past the recording's last request, every frame the host program sends is one
// it does not hold.
void RecordedDevice::Beyond(Clock::time_point now) {
    std::vector<ReceivedFrame> frames;
    ByRules(got_.data(), got_.size(), now, &frames);
    got_.clear();
    for (const ReceivedFrame& f : frames) {
        ++deviations_;
        Say("the host program sent a frame at " + Since(now) + " (" + (f.result == kRequestOk ? "a request" : "a bad frame") +
            ", D1 " + Hex(&f.d1, 1) + ") after the recording's last request");
        if (stop_) {
            stopped_ = true;
            return;
        }
    }
}

// The bytes as the device's receiver takes them; unless the replay stops, each good
// request is answered as the device answers it.
void RecordedDevice::ByRules(const std::uint8_t* p, std::size_t n, Clock::time_point now,
                             std::vector<ReceivedFrame>* frames) {
    std::vector<ReceivedFrame> taken;
    rules_.Feed(p, n, &taken);
    for (const ReceivedFrame& f : taken) {
        if (f.result == kRequestOk && !stop_) {
            const ReplyFrame r = MakeReply(ReplyEa(f.d1));
            Schedule(now, std::vector<std::uint8_t>(r.begin(), r.end()));
        }
    }
    if (frames != nullptr) {
        *frames = std::move(taken);
    }
}

}  // namespace zolhost
