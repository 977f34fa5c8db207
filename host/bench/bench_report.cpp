// The benchmark's reports: text and JSON.
#include "host/bench/bench_report.h"

#include <nlohmann/json.hpp>

#include <cinttypes>
#include <cmath>
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

}  // namespace

std::string BenchText(const BenchConfig& o, const std::vector<TargetResult>& targets, const std::vector<Skipped>& skipped) {
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

std::string BenchJson(const BenchConfig& o, const std::vector<TargetResult>& targets, const std::vector<Skipped>& skipped) {
    using Json = nlohmann::ordered_json;
    // Figures rounded as they are shown; a figure that was not measured is null.
    auto number = [](double v, double places) -> Json {
        if (v < 0) {
            return nullptr;
        }
        const double scale = std::pow(10.0, places);
        return std::round(v * scale) / scale;
    };
    auto counts = [&](const PhaseStats& st) {
        return Json{{"requests", st.requests},        {"owed", st.expected},
                    {"good", st.good},                {"bad", st.bad},
                    {"missing", st.missing},          {"unexpected_bytes", st.unexpected},
                    {"noise_items", st.noiseItems},   {"noise_bytes", st.noiseBytes},
                    {"bad_frames", st.badFrames},     {"spoiled_requests", st.swallowed},
                    {"seconds", number(st.seconds, 6)}};
    };
    auto figures = [&](const Figures& f, bool withThroughput) {
        Json j = Json::object();
        for (const Figure& fig : kFigures) {
            if (withThroughput || fig.value != &Figures::framesPerSecond) {
                j[fig.key] = number(f.*fig.value, 3);
            }
        }
        return j;
    };
    Json out = {{"frames", o.frames},     {"window", o.window},         {"noise_pct", o.noisePct},
                {"pace_baud", o.paceBaud}, {"seed", o.seed},             {"rounds", o.rounds},
                {"pipelined_seconds", o.pipelinedSeconds}, {"targets", Json::array()}};
    for (const TargetResult& t : targets) {
        const Figures summary = t.Summary();
        Json rtt = figures(summary, false);
        rtt["measured"] = t.pingPong.rtt.Count();
        Json pipelined = counts(t.pipelined);
        pipelined["frames_per_s"] = number(summary.framesPerSecond, 1);
        Json rounds = Json::array();
        for (const Figures& r : t.rounds) {
            rounds.push_back(figures(r, true));
        }
        out["targets"].push_back({{"name", t.name},
                                  {"where", t.where},
                                  {"ok", t.Ok()},
                                  {"round_trip_us", rtt},
                                  {"ping_pong", counts(t.pingPong)},
                                  {"pipelined", pipelined},
                                  {"each_round", rounds},
                                  {"failure", t.failure}});
    }
    if (targets.size() > 1) {
        Json ratios = Json::object();
        for (std::size_t i = 1; i < targets.size(); ++i) {
            Json r = Json::object();
            for (const Figure& fig : kFigures) {
                const double b = fig.Of(targets[i]);
                const double e = fig.Of(targets.front());
                r[fig.key] = e >= 0 && b > 0 ? number(e / b, 4) : Json(nullptr);
            }
            ratios[targets[i].name] = r;
        }
        out["ratios"] = ratios;
    }
    if (!skipped.empty()) {
        Json list = Json::array();
        for (const Skipped& k : skipped) {
            list.push_back({{"name", k.name}, {"reason", k.reason}});
        }
        out["skipped"] = list;
    }
    // Invalid UTF-8 in a name (a path) is replaced rather than refused.
    return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace zolhost
