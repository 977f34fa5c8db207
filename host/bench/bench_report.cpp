// The benchmark's reports: text and JSON.
#include "host/bench/bench_report.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace zolhost {

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
    double Figures::*value;
    bool higherIsBetter;
    double Of(const TargetResult& t) const { return t.Summary().*value; }
};

const Figure kFigures[] = {
    {"round trip min", "min_us", &Figures::min, false},
    {"round trip median", "median_us", &Figures::median, false},
    {"round trip p90", "p90_us", &Figures::p90, false},
    {"round trip p99", "p99_us", &Figures::p99, false},
    {"round trip p99.9", "p99_9_us", &Figures::p999, false},
    {"round trip max", "max_us", &Figures::max, false},
    {"pipelined frames/s", "frames_per_s", &Figures::framesPerSecond, true},
    {"text lag median", "text_lag_median_us", &Figures::textLagMedian, false},
    {"text lag p99", "text_lag_p99_us", &Figures::textLagP99, false},
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

// A figure a target has no value for (the text lag of one without a console) is
// negative.
std::string Value(const Figure& f, double v) {
    return v < 0 ? "-" : f.higherIsBetter ? Fmt("%.0f", v) : FormatMicros(v);
}

std::string Ratio(double e, double b) {
    return e >= 0 && b > 0 ? Fmt("%.2f", e / b) : "-";
}

std::string JsonNumber(double v, const char* format) {
    return v < 0 ? "null" : Fmt(format, v);
}

}  // namespace

std::string BenchText(const Options& o, const std::vector<TargetResult>& targets, const std::vector<Skipped>& skipped) {
    std::string out = Fmt("zolhost bench: %u frames per phase, window %u, noise %g%%%s%s%s\n", o.frames, o.window,
                          o.noisePct, o.paceBaud != 0 ? Fmt(", paced at %u baud", o.paceBaud).c_str() : "",
                          o.pipelinedSeconds > 0 ? Fmt(", pipelined for %g s", o.pipelinedSeconds).c_str() : "",
                          o.rounds > 1 ? Fmt(", %u rounds", o.rounds).c_str() : "");
    for (const TargetResult& t : targets) {
        const PhaseStats& p = t.pingPong;
        out += "\n" + t.name + " (" + t.where + ")\n";
        out += Fmt("  round trip, one request at a time (%llu measured):\n", static_cast<unsigned long long>(p.rtt.Count()));
        out += Fmt("    min %s  median %s  p90 %s  p99 %s  p99.9 %s  max %s\n", FormatMicros(p.rtt.Min()).c_str(),
                   FormatMicros(p.rtt.Median()).c_str(), FormatMicros(p.rtt.Percentile(90)).c_str(),
                   FormatMicros(p.rtt.Percentile(99)).c_str(), FormatMicros(p.rtt.Percentile(99.9)).c_str(),
                   FormatMicros(p.rtt.Max()).c_str());
        out += p.rtt.Histogram(40);
        if (p.textLag.Count() > 0) {
            out += Fmt("    status text behind its reply on the console (%llu seen): median %s  p99 %s  max %s\n",
                       static_cast<unsigned long long>(p.textLag.Count()), FormatMicros(p.textLag.Median()).c_str(),
                       FormatMicros(p.textLag.Percentile(99)).c_str(), FormatMicros(p.textLag.Max()).c_str());
        }
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
        if (t.rounds.size() > 1) {
            out += Fmt("  each of %u rounds (the comparison takes the median of each figure):\n",
                       static_cast<unsigned>(t.rounds.size()));
            for (std::size_t r = 0; r < t.rounds.size(); ++r) {
                const Figures& f = t.rounds[r];
                out += Fmt("    %u: median %s  p99.9 %s  pipelined %.0f frames/s\n", static_cast<unsigned>(r + 1), FormatMicros(f.median).c_str(),
                           FormatMicros(f.p999).c_str(), f.framesPerSecond);
            }
        }
        out += t.Ok() ? "  all replies good\n" : "  FAILED: " + t.failure + "\n";
    }
    for (const Skipped& s : skipped) {
        out += "\n" + s.name + ": not measured: " + s.reason + "\n";
    }
    if (targets.size() > 1 && !targets.front().rounds.empty()) {
        const TargetResult& e = targets.front();
        out += "\ncompared (" + (e.rounds.size() > 1 ? Fmt("median of %u rounds; ", static_cast<unsigned>(e.rounds.size())) : std::string()) +
               "ratio = " + e.name + " / baseline; below 1 is faster for times, above 1 for frames/s)\n";
        out += Fmt("  %-20s %12s", "", e.name.c_str());
        for (std::size_t i = 1; i < targets.size(); ++i) {
            out += Fmt(" %14s %7s", targets[i].name.c_str(), "ratio");
        }
        out += "\n";
        for (const Figure& f : kFigures) {
            out += Fmt("  %-20s %12s", f.label, Value(f, f.Of(e)).c_str());
            for (std::size_t i = 1; i < targets.size(); ++i) {
                const double b = f.Of(targets[i]);
                out += Fmt(" %14s %7s", Value(f, b).c_str(), Ratio(f.Of(e), b).c_str());
            }
            out += "\n";
        }
    }
    return out;
}

std::string BenchJson(const Options& o, const std::vector<TargetResult>& targets, const std::vector<Skipped>& skipped) {
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
    auto figures = [](const Figures& f) {
        std::string s;
        for (std::size_t k = 0; k < std::size(kFigures); ++k) {
            s += Fmt("%s\"%s\": %s", k == 0 ? "" : ", ", kFigures[k].key, JsonNumber(f.*kFigures[k].value, "%.3f").c_str());
        }
        return s;
    };
    std::string out = Fmt("{\n  \"frames\": %u,\n  \"window\": %u,\n  \"noise_pct\": %g,\n  \"pace_baud\": %u,\n"
                          "  \"seed\": %" PRIu64 ",\n  \"rounds\": %u,\n  \"pipelined_seconds\": %g,\n  \"targets\": [",
                          o.frames, o.window, o.noisePct, o.paceBaud, o.seed, o.rounds, o.pipelinedSeconds);
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const TargetResult& t = targets[i];
        out += i == 0 ? "\n" : ",\n";
        out += "    {\"name\": " + quote(t.name) + ", \"where\": " + quote(t.where) +
               Fmt(", \"ok\": %s,\n", t.Ok() ? "true" : "false");
        const Figures summary = t.Summary();
        out += "     \"round_trip_us\": {";
        for (std::size_t k = 0; k < std::size(kFigures); ++k) {
            if (kFigures[k].value != &Figures::framesPerSecond) {
                out += Fmt("%s\"%s\": %s", k == 0 ? "" : ", ", kFigures[k].key,
                           JsonNumber(summary.*kFigures[k].value, "%.3f").c_str());
            }
        }
        out += Fmt(", \"measured\": %llu},\n", static_cast<unsigned long long>(t.pingPong.rtt.Count()));
        out += "     \"ping_pong\": {" + counts(t.pingPong) + "},\n";
        out += "     \"pipelined\": {" + counts(t.pipelined) + Fmt(", \"frames_per_s\": %.1f},\n", summary.framesPerSecond);
        out += "     \"each_round\": [";
        for (std::size_t r = 0; r < t.rounds.size(); ++r) {
            out += (r == 0 ? "{" : ", {") + figures(t.rounds[r]) + "}";
        }
        out += "],\n";
        out += "     \"failure\": " + quote(t.failure) + "}";
    }
    out += "\n  ]";
    if (targets.size() > 1) {
        out += ",\n  \"ratios\": {";
        for (std::size_t i = 1; i < targets.size(); ++i) {
            out += (i == 1 ? "\n    " : ",\n    ") + quote(targets[i].name) + ": {";
            for (std::size_t k = 0; k < std::size(kFigures); ++k) {
                const double b = kFigures[k].Of(targets[i]);
                const double e = kFigures[k].Of(targets.front());
                out += Fmt("%s\"%s\": %s", k == 0 ? "" : ", ", kFigures[k].key,
                           e >= 0 && b > 0 ? Fmt("%.4f", e / b).c_str() : "null");
            }
            out += "}";
        }
        out += "\n  }";
    }
    if (!skipped.empty()) {
        out += ",\n  \"skipped\": [";
        for (std::size_t i = 0; i < skipped.size(); ++i) {
            out += (i == 0 ? "{\"name\": " : ", {\"name\": ") + quote(skipped[i].name) +
                   ", \"reason\": " + quote(skipped[i].reason) + "}";
        }
        out += "]";
    }
    out += "\n}\n";
    return out;
}

}  // namespace zolhost
