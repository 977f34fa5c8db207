// The benchmark: round trips one request at a time, then throughput with a window
// of requests in flight, on one or more targets that take turns in blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/latency_stats.h"
#include "host/link.h"
#include "host/options.h"
#include "host/progress.h"

namespace zolhost {

// One benchmark phase on one target.
struct PhaseStats {
    std::uint64_t requests = 0;    // good requests sent
    std::uint64_t expected = 0;    // replies the receiver owes for what was sent
    std::uint64_t good = 0;
    std::uint64_t bad = 0;
    std::uint64_t missing = 0;
    std::uint64_t unexpected = 0;  // bytes of replies nobody was owed
    std::uint64_t noiseItems = 0;
    std::uint64_t noiseBytes = 0;
    std::uint64_t badFrames = 0;   // frames the receiver drops (noise, or requests it spoils)
    std::uint64_t swallowed = 0;   // good requests spoiled by noise before them
    LatencyStats rtt;
    double seconds = 0;
    bool Ok() const { return bad == 0 && missing == 0 && unexpected == 0; }
};

struct TargetResult {
    std::string name;
    std::string where;
    PhaseStats pingPong;
    PhaseStats pipelined;
    std::string failure;  // first failure seen; empty when all went well
    bool Ok() const { return failure.empty() && pingPong.Ok() && pipelined.Ok(); }
    double Throughput() const { return pipelined.seconds > 0 ? pipelined.good / pipelined.seconds : 0; }
};

struct BenchTarget {
    std::string name;
    std::string where;
    HostLink* link;
};

// Measures every target in one run; they take turns in blocks of frames.
std::vector<TargetResult> RunBench(const std::vector<BenchTarget>& targets, const Options& o, Progress* progress);

}  // namespace zolhost
