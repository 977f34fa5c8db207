// The benchmark: round trips one request at a time, then throughput with a window
// of requests in flight. Every reply is checked against what the device's receiver
// owes for the bytes sent, noise included, as the receiver model works it out.
#include <cinttypes>
#include <cstdarg>
#include <iterator>
#include <cstdio>
#include <algorithm>
#include <deque>
#include <memory>

#include "host/commands.h"
#include "host/noise.h"
#include "host/platform.h"
#include "protocol/receiver.h"

namespace zolhost {

namespace {

constexpr int kQuietMs = 100;  // silence that ends a phase: nothing more is owed
constexpr std::uint64_t kBlockFrames = 500;  // frames a target runs before the next one's turn

struct Owed {
    std::uint8_t d1;
    bool measured;  // the reply to the round's own request (its round trip counts)
};

class Session {
public:
    Session(HostLink& link, const Options& o, TargetResult* result)
        : link_(link), o_(o), reader_(link), rng_(o.seed), result_(*result) {}

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
        const HostLink::Rx r = reader_.Next(&reply, Clock::now() + std::chrono::milliseconds(o_.timeoutMs));
        const Owed want = owed_.front();
        if (r != HostLink::Rx::Data) {
            st->missing += owed_.size();
            owed_.clear();
            switch (r) {
            case HostLink::Rx::Timeout:
                result_.failure = "no reply within " + std::to_string(o_.timeoutMs) + " ms (reply owed to D1 " +
                                  Hex(&want.d1, 1) + ")";
                break;
            case HostLink::Rx::HungUp: result_.failure = "the program at the device end closed the link"; break;
            case HostLink::Rx::Stopped: result_.failure = "interrupted"; break;
            default: result_.failure = link_.Error(); break;
            }
            return false;
        }
        owed_.pop_front();
        const ReplyFault fault = CheckReply(reply.data(), want.d1);
        if (fault != ReplyFault::None) {
            ++st->bad;
            result_.failure = "bad reply " + Hex(reply.data(), reply.size()) + " where the reply to D1 " +
                              Hex(&want.d1, 1) + " was owed: " + ReplyFaultText(fault);
            return false;
        }
        ++st->good;
        if (want.measured) {
            st->rtt.Add(std::chrono::duration<double, std::micro>(Clock::now() - sentAt).count());
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
        PhaseStats* st = &result_.pingPong;
        const auto t0 = Clock::now();
        bool ok = true;
        for (std::uint64_t i = first; ok && i < first + n; ++i) {
            bool answered = false;
            const auto sentAt = Clock::now();
            ok = SendRound(st, i, &answered);
            while (ok && !owed_.empty()) {
                ok = TakeReply(st, sentAt);
            }
            if (ok && StopRequested()) {
                result_.failure = "interrupted";
                ok = false;
            }
        }
        st->seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        return ok;
    }

    // n requests with up to `window` replies owed at any time; the time counted
    // runs from the first request to the last reply of the block.
    bool PipelinedBlock(std::uint64_t first, std::uint64_t n) {
        PhaseStats* st = &result_.pipelined;
        const auto t0 = Clock::now();
        std::uint64_t sent = first;
        bool ok = true;
        while (ok && (sent < first + n || !owed_.empty())) {
            while (ok && sent < first + n && owed_.size() < o_.window) {
                bool answered = false;
                ok = SendRound(st, sent, &answered);
                ++sent;
            }
            if (ok && !owed_.empty()) {
                ok = TakeReply(st, t0);
            }
            if (ok && StopRequested()) {
                result_.failure = "interrupted";
                ok = false;
            }
        }
        st->seconds += std::chrono::duration<double>(Clock::now() - t0).count();
        return ok;
    }

    bool FinishPingPong() { return Finish(&result_.pingPong); }
    bool FinishPipelined() { return Finish(&result_.pipelined); }

    void Start() {
        // Whatever waited on the link before the run is not the run's.
        reader_.DiscardPending();
    }

private:
    HostLink& link_;
    const Options& o_;
    ReplyReader reader_;
    Rng rng_;
    ReceiverModel model_;
    std::vector<ReceivedFrame> frames_;
    std::deque<Owed> owed_;
    std::uint64_t streamPos_ = 0;
    TargetResult& result_;
};

}  // namespace

std::vector<TargetResult> RunBench(const std::vector<BenchTarget>& targets, const Options& o, Progress* progress) {
    std::vector<TargetResult> results(targets.size());
    std::vector<std::unique_ptr<Session>> sessions;
    std::vector<bool> going(targets.size(), true);
    for (std::size_t k = 0; k < targets.size(); ++k) {
        results[k].name = targets[k].name;
        results[k].where = targets[k].where;
        sessions.push_back(std::make_unique<Session>(*targets[k].link, o, &results[k]));
        sessions[k]->Start();
    }
    // The targets take turns in blocks, so that whatever else the machine does
    // during the run falls on all of them alike.
    const std::uint64_t block = std::min<std::uint64_t>(o.frames, kBlockFrames);
    const std::uint64_t total = static_cast<std::uint64_t>(o.frames) * 2 * targets.size();
    std::uint64_t progressDone = 0;
    for (const bool pipelined : {false, true}) {
        for (std::uint64_t first = 0; first < o.frames; first += block) {
            const std::uint64_t n = std::min<std::uint64_t>(block, o.frames - first);
            for (std::size_t k = 0; k < targets.size(); ++k) {
                if (going[k]) {
                    going[k] = pipelined ? sessions[k]->PipelinedBlock(first, n) : sessions[k]->PingPongBlock(first, n);
                }
                progressDone += n;
                progress->Show(pipelined ? "pipelined" : "round trips", progressDone, total);
            }
        }
        for (std::size_t k = 0; k < targets.size(); ++k) {
            if (going[k]) {
                going[k] = pipelined ? sessions[k]->FinishPipelined() : sessions[k]->FinishPingPong();
            }
        }
    }
    progress->Clear();
    return results;
}

namespace {

std::string Fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Fmt(const char* format, ...) {
    char b[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(b, sizeof b, format, args);
    va_end(args);
    return b;
}

struct Figure {
    const char* label;
    const char* key;
    double (*get)(const TargetResult&);
    bool higherIsBetter;
};

const Figure kFigures[] = {
    {"round trip min", "min_us", [](const TargetResult& t) { return t.pingPong.rtt.Min(); }, false},
    {"round trip median", "median_us", [](const TargetResult& t) { return t.pingPong.rtt.Median(); }, false},
    {"round trip p90", "p90_us", [](const TargetResult& t) { return t.pingPong.rtt.Percentile(90); }, false},
    {"round trip p99", "p99_us", [](const TargetResult& t) { return t.pingPong.rtt.Percentile(99); }, false},
    {"round trip p99.9", "p99_9_us", [](const TargetResult& t) { return t.pingPong.rtt.Percentile(99.9); }, false},
    {"round trip max", "max_us", [](const TargetResult& t) { return t.pingPong.rtt.Max(); }, false},
    {"pipelined frames/s", "frames_per_s", [](const TargetResult& t) { return t.Throughput(); }, true},
};

std::string Counts(const PhaseStats& s) {
    return Fmt("%" PRIu64 " requests, %" PRIu64 " replies owed: %" PRIu64 " good, %" PRIu64 " bad, %" PRIu64
               " missing, %" PRIu64 " unexpected bytes",
               s.requests, s.expected, s.good, s.bad, s.missing, s.unexpected);
}

std::string NoiseLine(const PhaseStats& s) {
    return Fmt("noise: %" PRIu64 " items (%" PRIu64 " bytes), %" PRIu64 " bad frames dropped, %" PRIu64
               " requests spoiled by the noise before them",
               s.noiseItems, s.noiseBytes, s.badFrames, s.swallowed);
}

std::string Value(const Figure& f, double v) {
    return f.higherIsBetter ? Fmt("%.0f", v) : FormatMicros(v);
}

}  // namespace

std::string BenchText(const Options& o, const std::vector<TargetResult>& targets) {
    std::string out = Fmt("zolhost bench: %u frames per phase, window %u, noise %g%%%s\n", o.frames, o.window,
                          o.noisePct, o.paceBaud != 0 ? Fmt(", paced at %u baud", o.paceBaud).c_str() : "");
    for (const TargetResult& t : targets) {
        const PhaseStats& p = t.pingPong;
        out += "\n" + t.name + " (" + t.where + ")\n";
        out += Fmt("  round trip, one request at a time (%llu measured):\n", static_cast<unsigned long long>(p.rtt.Count()));
        out += Fmt("    min %s  median %s  p90 %s  p99 %s  p99.9 %s  max %s\n", FormatMicros(p.rtt.Min()).c_str(),
                   FormatMicros(p.rtt.Median()).c_str(), FormatMicros(p.rtt.Percentile(90)).c_str(),
                   FormatMicros(p.rtt.Percentile(99)).c_str(), FormatMicros(p.rtt.Percentile(99.9)).c_str(),
                   FormatMicros(p.rtt.Max()).c_str());
        out += p.rtt.Histogram(40);
        out += "    " + Counts(p) + "\n";
        if (o.noisePct > 0) {
            out += "    " + NoiseLine(p) + "\n";
        }
        const PhaseStats& q = t.pipelined;
        out += Fmt("  pipelined, %u in flight: %" PRIu64 " replies in %.3f s: %.0f frames/s\n", o.window, q.good,
                   q.seconds, t.Throughput());
        out += "    " + Counts(q) + "\n";
        if (o.noisePct > 0) {
            out += "    " + NoiseLine(q) + "\n";
        }
        out += t.Ok() ? "  all replies good\n" : "  FAILED: " + t.failure + "\n";
    }
    if (targets.size() > 1) {
        const TargetResult& e = targets.front();
        out += "\ncompared (ratio = " + e.name + " / baseline; below 1 is faster for times, above 1 for frames/s)\n";
        out += Fmt("  %-20s %12s", "", e.name.c_str());
        for (std::size_t i = 1; i < targets.size(); ++i) {
            out += Fmt(" %14s %7s", targets[i].name.c_str(), "ratio");
        }
        out += "\n";
        for (const Figure& f : kFigures) {
            out += Fmt("  %-20s %12s", f.label, Value(f, f.get(e)).c_str());
            for (std::size_t i = 1; i < targets.size(); ++i) {
                const double b = f.get(targets[i]);
                out += Fmt(" %14s %7.2f", Value(f, b).c_str(), b > 0 ? f.get(e) / b : 0.0);
            }
            out += "\n";
        }
    }
    return out;
}

std::string BenchJson(const Options& o, const std::vector<TargetResult>& targets) {
    auto counts = [](const PhaseStats& s) {
        return Fmt("\"requests\": %" PRIu64 ", \"owed\": %" PRIu64 ", \"good\": %" PRIu64 ", \"bad\": %" PRIu64
                   ", \"missing\": %" PRIu64 ", \"unexpected_bytes\": %" PRIu64 ", \"noise_items\": %" PRIu64
                   ", \"noise_bytes\": %" PRIu64 ", \"bad_frames\": %" PRIu64 ", \"spoiled_requests\": %" PRIu64
                   ", \"seconds\": %.6f",
                   s.requests, s.expected, s.good, s.bad, s.missing, s.unexpected, s.noiseItems, s.noiseBytes,
                   s.badFrames, s.swallowed, s.seconds);
    };
    auto quote = [](const std::string& s) {
        std::string q = "\"";
        for (char c : s) {
            if (c == '"' || c == '\\') {
                q += '\\';
                q += c;
            } else if (static_cast<unsigned char>(c) < 0x20) {
                q += Fmt("\\u%04x", c);
            } else {
                q += c;
            }
        }
        return q + "\"";
    };
    std::string out = Fmt("{\n  \"frames\": %u,\n  \"window\": %u,\n  \"noise_pct\": %g,\n  \"pace_baud\": %u,\n"
                          "  \"seed\": %" PRIu64 ",\n  \"targets\": [",
                          o.frames, o.window, o.noisePct, o.paceBaud, o.seed);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const TargetResult& t = targets[i];
        out += i == 0 ? "\n" : ",\n";
        out += "    {\"name\": " + quote(t.name) + ", \"where\": " + quote(t.where) +
               Fmt(", \"ok\": %s,\n", t.Ok() ? "true" : "false");
        out += "     \"round_trip_us\": {";
        for (std::size_t k = 0; k + 1 < std::size(kFigures); ++k) {
            out += Fmt("%s\"%s\": %.3f", k == 0 ? "" : ", ", kFigures[k].key, kFigures[k].get(t));
        }
        out += Fmt(", \"measured\": %llu},\n", static_cast<unsigned long long>(t.pingPong.rtt.Count()));
        out += "     \"ping_pong\": {" + counts(t.pingPong) + "},\n";
        out += "     \"pipelined\": {" + counts(t.pipelined) + Fmt(", \"frames_per_s\": %.1f},\n", t.Throughput());
        out += "     \"failure\": " + quote(t.failure) + "}";
    }
    out += "\n  ]";
    if (targets.size() > 1) {
        out += ",\n  \"ratios\": {";
        for (std::size_t i = 1; i < targets.size(); ++i) {
            out += (i == 1 ? "\n    " : ",\n    ") + quote(targets[i].name) + ": {";
            for (std::size_t k = 0; k < std::size(kFigures); ++k) {
                const double b = kFigures[k].get(targets[i]);
                out += Fmt("%s\"%s\": %.4f", k == 0 ? "" : ", ", kFigures[k].key,
                           b > 0 ? kFigures[k].get(targets.front()) / b : 0.0);
            }
            out += "}";
        }
        out += "\n  }";
    }
    out += "\n}\n";
    return out;
}

}  // namespace zolhost
