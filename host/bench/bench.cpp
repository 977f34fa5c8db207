// The benchmark's run: every reply is checked against what the device's receiver
// owes for the bytes sent, noise included, as the receiver model works it out.
#include "host/bench/bench.h"

#include <algorithm>
#include <deque>
#include <memory>

#include "host/base/text.h"
#include "host/bench/noise.h"
#include "host/system/system.h"
#include "host/transport/reply_reader.h"
#include "protocol/frame_rules.h"
#include "protocol/receiver.h"

namespace zolhost {

namespace {

constexpr int kQuietMs = 100;  // silence that ends a phase: nothing more is owed
constexpr std::uint64_t kBlockFrames = 500;  // frames a target runs before the next one's turn

struct Owed {
    std::uint8_t d1;
    bool measured;  // the reply to the round's own request (its round trip counts)
};

class TargetRun {
public:
    TargetRun(Channel& link, DrainedTerminal* console, const BenchConfig& o, TargetResult* result)
        : link_(link), console_(console), o_(o), reader_(link), rng_(o.seed), result_(*result) {
        if (console_ != nullptr) {
            console_->OnText([this](std::uint8_t tora, Clock::time_point at) { TextSeen(tora, at); });
        }
    }
    ~TargetRun() {
        if (console_ != nullptr) {
            console_->OnText(nullptr);
        }
    }
    TargetRun(const TargetRun&) = delete;
    TargetRun& operator=(const TargetRun&) = delete;

    // The status text of the request for d1, answered at repliedAt, is owed on the
    // console; it may have come already (before zolhost had taken the reply).
    // Texts come in the order of their frames; one the console dropped is never
    // matched.
    void AwaitText(std::uint8_t d1, Clock::time_point sentAt, Clock::time_point repliedAt) {
        while (!early_.empty() && early_.front().at < sentAt) {
            early_.pop_front();  // texts of earlier frames
        }
        if (!early_.empty() && early_.front().d1 == d1) {
            early_.pop_front();
            result_.pingPong.textLag.Add(0);
            return;
        }
        awaited_.push_back({d1, sentAt, repliedAt});
        if (awaited_.size() > kTextsKept) {
            awaited_.pop_front();
        }
    }

    void TextSeen(std::uint8_t tora, Clock::time_point at) {
        for (std::size_t k = 0; k < awaited_.size(); ++k) {
            const TextOwed& w = awaited_[k];
            if (w.d1 == tora && at >= w.at) {
                const double lag = std::chrono::duration<double, std::micro>(at - w.repliedAt).count();
                result_.pingPong.textLag.Add(lag > 0 ? lag : 0);
                awaited_.erase(awaited_.begin(), awaited_.begin() + static_cast<std::ptrdiff_t>(k) + 1);
                return;
            }
        }
        early_.push_back({tora, at, at});
        if (early_.size() > kTextsKept) {
            early_.pop_front();
        }
    }

    // Sends noise (maybe) and one request; the receiver's view of the stream says
    // which replies that makes owed. Returns false when the link failed.
    bool SendRound(PhaseStats* st, std::uint64_t seq, bool* answered) {
        std::vector<std::uint8_t> bytes = NoiseBefore(rng_, o_.noisePct);
        if (!bytes.empty()) {
            ++st->noiseItems;
            st->noiseBytes += bytes.size();
        }
        const RequestFrame req = MakeRequest(static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(seq >> 8),
                                             static_cast<std::uint8_t>(rng_.Below(256)),
                                             static_cast<std::uint8_t>(rng_.Below(256)));
        const std::uint64_t reqStart = streamPos_ + bytes.size();
        bytes.insert(bytes.end(), req.begin(), req.end());
        ++st->requests;
        *answered = Owe(st, bytes, reqStart);
        if (!*answered) {
            ++st->swallowed;
        }
        if (!link_.Send(bytes.data(), bytes.size())) {
            result_.failure = link_.Error();
            return false;
        }
        return true;
    }

    // Feeds the model; true when a good frame starts at reqStart.
    bool Owe(PhaseStats* st, const std::vector<std::uint8_t>& bytes, std::uint64_t reqStart) {
        frames_.clear();
        model_.Feed(bytes.data(), bytes.size(), &frames_);
        streamPos_ += bytes.size();
        bool answered = false;
        for (const ReceivedFrame& f : frames_) {
            if (f.result == kRequestOk) {
                const bool mine = f.start == reqStart;
                answered = answered || mine;
                owed_.push_back({f.d1, mine});
                ++st->expected;
            } else {
                ++st->badFrames;
            }
        }
        return answered;
    }

    // Takes the next reply and checks it against the oldest one owed.
    bool TakeReply(PhaseStats* st, Clock::time_point sentAt) {
        ReplyFrame reply{};
        const Io r = reader_.Next(&reply, Clock::now() + std::chrono::milliseconds(o_.timeoutMs));
        const Owed want = owed_.front();
        if (r != Io::Done) {
            st->missing += owed_.size();
            owed_.clear();
            switch (r) {
            case Io::Timeout:
                result_.failure = "no reply within " + std::to_string(o_.timeoutMs) + " ms (reply owed to D1 " +
                                  Hex(&want.d1, 1) + ")";
                break;
            case Io::HungUp: result_.failure = "the program at the device end closed the link"; break;
            case Io::Stopped: result_.failure = "interrupted"; break;
            default: result_.failure = link_.Error(); break;
            }
            return false;
        }
        owed_.pop_front();
        if (const std::size_t noise = reader_.TakeNoise(); noise > 0) {
            st->unexpected += noise;
            result_.failure = std::to_string(noise) + " bytes that are no reply arrived before the reply to D1 " +
                              Hex(&want.d1, 1);
            return false;
        }
        const ReplyFault fault = CheckReply(reply.data(), want.d1);
        if (fault != ReplyFault::None) {
            ++st->bad;
            result_.failure = "bad reply " + Hex(reply.data(), reply.size()) + " where the reply to D1 " +
                              Hex(&want.d1, 1) + " was owed: " + ReplyFaultText(fault);
            return false;
        }
        ++st->good;
        if (want.measured) {
            st->rtt.Add(MicrosSince(sentAt));
        }
        return true;
    }

    // Leaves the receiver with nothing waiting: a few filler bytes and a request
    // complete any frame the noise left open, then every owed reply is taken and
    // a short silence shows that nothing more comes.
    bool Finish(PhaseStats* st) {
        for (int i = 0; i < 3 && model_.Waiting() > 0; ++i) {
            std::vector<std::uint8_t> bytes(kRequestSize - 1, 0x00);
            const RequestFrame req = MakeRequest(0xA5, 0x5A);
            const std::uint64_t reqStart = streamPos_ + bytes.size();
            bytes.insert(bytes.end(), req.begin(), req.end());
            Owe(st, bytes, reqStart);
            if (!link_.Send(bytes.data(), bytes.size())) {
                result_.failure = link_.Error();
                return false;
            }
        }
        while (!owed_.empty()) {
            if (!TakeReply(st, Clock::now())) {
                return false;
            }
        }
        const std::size_t extra = reader_.Unasked(kQuietMs);
        reader_.DiscardPending();
        if (extra > 0) {
            st->unexpected += extra;
            result_.failure = std::to_string(extra) + " bytes arrived that no request was owed";
            return false;
        }
        return true;
    }

    // Round trips for requests first..first+n-1, one request at a time.
    bool PingPongBlock(std::uint64_t first, std::uint64_t n) {
        return TimedBlock(&result_.pingPong, [&](PhaseStats* st) {
            for (std::uint64_t i = first; i < first + n; ++i) {
                bool answered = false;
                const auto sentAt = Clock::now();
                if (!SendRound(st, i, &answered)) {
                    return false;
                }
                while (!owed_.empty()) {
                    if (!TakeReply(st, sentAt)) {
                        return false;
                    }
                }
                if (answered && console_ != nullptr) {
                    AwaitText(static_cast<std::uint8_t>(i), sentAt, Clock::now());
                }
                if (Interrupted()) {
                    return false;
                }
            }
            return true;
        });
    }

    // n requests with up to `window` replies owed at any time; the time counted
    // runs from the first request to the last reply of the block.
    bool PipelinedBlock(std::uint64_t first, std::uint64_t n) {
        return TimedBlock(&result_.pipelined, [&](PhaseStats* st) {
            const auto t0 = Clock::now();
            std::uint64_t sent = first;
            while (sent < first + n || !owed_.empty()) {
                while (sent < first + n && owed_.size() < o_.window) {
                    bool answered = false;
                    if (!SendRound(st, sent++, &answered)) {
                        return false;
                    }
                }
                if (!owed_.empty() && !TakeReply(st, t0)) {
                    return false;
                }
                if (Interrupted()) {
                    return false;
                }
            }
            return true;
        });
    }

    bool FinishPingPong() { return Finish(&result_.pingPong); }
    bool FinishPipelined() { return Finish(&result_.pipelined); }

    void Start() {
        // Whatever waited on the link before the run is not the run's.
        reader_.DiscardPending();
    }

private:
    // Runs one block of a phase, adding its time to the phase's.
    template <class Body>
    bool TimedBlock(PhaseStats* st, Body body) {
        const auto t0 = Clock::now();
        const bool ok = body(st);
        st->seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        return ok;
    }

    bool Interrupted() {
        if (!StopRequested()) {
            return false;
        }
        result_.failure = "interrupted";
        return true;
    }

    struct TextOwed {
        std::uint8_t d1;
        Clock::time_point at;         // the request's sending (a text seen: its arrival)
        Clock::time_point repliedAt;
    };
    static constexpr std::size_t kTextsKept = 128;  // under the 256 frames after which D1 repeats

    Channel& link_;
    DrainedTerminal* console_;
    std::deque<TextOwed> awaited_;  // status texts that round trips are owed, oldest first
    std::deque<TextOwed> early_;    // texts seen before their round trip ended
    const BenchConfig& o_;
    ReplyReader reader_;
    Rng rng_;
    ReceiverModel model_;
    std::vector<ReceivedFrame> frames_;
    std::deque<Owed> owed_;
    std::uint64_t streamPos_ = 0;
    TargetResult& result_;
};

}  // namespace

std::vector<TargetResult> RunBench(const std::vector<TargetLink>& targets, const BenchConfig& o, Progress* progress,
                                   const std::string& label) {
    std::vector<TargetResult> results(targets.size());
    std::vector<std::unique_ptr<TargetRun>> runs;
    std::vector<bool> going(targets.size(), true);
    for (std::size_t k = 0; k < targets.size(); ++k) {
        results[k].name = targets[k].name;
        results[k].where = targets[k].where;
        runs.push_back(std::make_unique<TargetRun>(*targets[k].link, targets[k].console, o, &results[k]));
        runs[k]->Start();
    }
    // The targets take turns in blocks, so that whatever else the machine does
    // during the run falls on all of them alike. Progress counts frames, and for a
    // timed pipelined phase milliseconds.
    const std::uint64_t block = std::min<std::uint64_t>(o.frames, kBlockFrames);
    const bool timed = o.pipelinedSeconds > 0;
    const auto pipelinedDone = [&](std::size_t k, std::uint64_t sent) -> std::uint64_t {
        return timed ? static_cast<std::uint64_t>(std::min(results[k].pipelined.seconds, o.pipelinedSeconds) * 1000)
                     : std::min<std::uint64_t>(sent, o.frames);
    };
    const std::uint64_t pipelinedTotal = timed ? static_cast<std::uint64_t>(o.pipelinedSeconds * 1000) : o.frames;
    const std::uint64_t total = (o.frames + pipelinedTotal) * targets.size();

    for (std::uint64_t first = 0; first < o.frames; first += block) {
        const std::uint64_t n = std::min<std::uint64_t>(block, o.frames - first);
        for (std::size_t k = 0; k < targets.size(); ++k) {
            if (going[k]) {
                going[k] = runs[k]->PingPongBlock(first, n);
            }
            progress->Show(label + "round trips", (first + n) * targets.size(), total);
        }
    }
    for (std::size_t k = 0; k < targets.size(); ++k) {
        going[k] = going[k] && runs[k]->FinishPingPong();
    }

    // o.frames requests, or blocks until each target has run for o.pipelinedSeconds.
    for (std::uint64_t first = 0;; first += block) {
        bool more = false;
        std::uint64_t done = static_cast<std::uint64_t>(o.frames) * targets.size();
        for (std::size_t k = 0; k < targets.size(); ++k) {
            const bool left = timed ? results[k].pipelined.seconds < o.pipelinedSeconds : first < o.frames;
            if (going[k] && left) {
                more = true;
                going[k] = runs[k]->PipelinedBlock(first, timed ? block : std::min<std::uint64_t>(block, o.frames - first));
            }
            done += pipelinedDone(k, first + block);
        }
        if (!more) {
            break;
        }
        progress->Show(label + "pipelined", done, total);
    }
    for (std::size_t k = 0; k < targets.size(); ++k) {
        going[k] = going[k] && runs[k]->FinishPipelined();
    }
    progress->Clear();
    return results;
}

namespace {

double MedianOf(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

}  // namespace

Figures TargetResult::Summary() const {
    Figures out;
    for (double Figures::*f : {&Figures::min, &Figures::median, &Figures::p90, &Figures::p99, &Figures::p999,
                               &Figures::max, &Figures::framesPerSecond, &Figures::textLagMedian, &Figures::textLagP99}) {
        std::vector<double> values;
        for (const Figures& r : rounds) {
            values.push_back(r.*f);
        }
        out.*f = MedianOf(values);
    }
    return out;
}

void AddRound(TargetResult* total, const TargetResult& round) {
    const LatencyStats& rtt = round.pingPong.rtt;
    const LatencyStats& lag = round.pingPong.textLag;
    const bool texts = lag.Count() > 0;
    total->rounds.push_back({rtt.Min(), rtt.Median(), rtt.Percentile(90), rtt.Percentile(99), rtt.Percentile(99.9),
                             rtt.Max(), round.Throughput(), texts ? lag.Median() : -1, texts ? lag.Percentile(99) : -1});
    for (auto phase : {&TargetResult::pingPong, &TargetResult::pipelined}) {
        PhaseStats& to = total->*phase;
        const PhaseStats& from = round.*phase;
        to.requests += from.requests;
        to.expected += from.expected;
        to.good += from.good;
        to.bad += from.bad;
        to.missing += from.missing;
        to.unexpected += from.unexpected;
        to.noiseItems += from.noiseItems;
        to.noiseBytes += from.noiseBytes;
        to.badFrames += from.badFrames;
        to.swallowed += from.swallowed;
        to.rtt.AddAll(from.rtt);
        to.textLag.AddAll(from.textLag);
        to.seconds += from.seconds;
    }
    if (total->failure.empty()) {
        total->failure = round.failure;
    }
}

}  // namespace zolhost
