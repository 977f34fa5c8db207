// The benchmark: round trips one request at a time, then throughput with a window
// of requests in flight, on one or more targets that take turns in blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/base/latency_stats.h"
#include "host/process/child_process.h"
#include "host/transport/channel.h"
#include "host/bench/progress.h"

namespace zolhost {

// What the benchmark runs with.
struct BenchConfig {
    bool spawn = false;              // zolhost starts the device program itself
    std::string deviceExe;           // with spawn: the program; empty: zolemul beside zolhost
    bool deviceIsEmulator = false;   // the link given leads to zolemul started by the user (a virtual link)
    std::uint32_t frames = 10000;
    std::uint32_t window = 8;
    double noisePct = 0;
    bool json = false;
    bool baseline = false;           // the baselines are measured too
    std::uint64_t seed = 1;          // the noise's
    std::uint32_t rounds = 1;        // the whole measurement this often; figures are their median
    double pipelinedSeconds = 0;     // > 0: the pipelined phase runs this long instead of `frames`
    bool trace = false;
    std::uint32_t paceBaud = 0;      // 0: requests go out whole
    int timeoutMs = 1000;            // for one reply
    int waitSeconds = 0;             // for a started program to open its port; 0: the default
};

// The benchmark on `device` (described by `where`), with its baselines when asked
// for; with spawn zolhost starts the device itself and `device` is null.
int RunBenchCommand(const BenchConfig& c, Channel* device, const std::string& where);

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
    LatencyStats textLag;  // console status text behind its reply, where the target has a console
    double seconds = 0;
    bool Ok() const { return bad == 0 && missing == 0 && unexpected == 0; }
};

// The figures compared between targets: of one round, or the median of rounds.
struct Figures {
    double min = 0;
    double median = 0;
    double p90 = 0;
    double p99 = 0;
    double p999 = 0;
    double max = 0;
    double framesPerSecond = 0;  // pipelined
    double textLagMedian = -1;   // -1: no console text measured
    double textLagP99 = -1;
};

// A target's results: its phases over every round run, and each round's figures.
struct TargetResult {
    std::string name;
    std::string where;
    PhaseStats pingPong;
    PhaseStats pipelined;
    std::string failure;  // first failure seen; empty when all went well
    std::vector<Figures> rounds;
    bool Ok() const { return failure.empty() && pingPong.Ok() && pipelined.Ok(); }
    double Throughput() const { return pipelined.seconds > 0 ? pipelined.good / pipelined.seconds : 0; }
    // The median of the rounds' figures, each figure on its own.
    Figures Summary() const;
};

// Adds one round's results of a target to its results so far.
void AddRound(TargetResult* total, const TargetResult& round);

struct TargetLink {
    std::string name;
    std::string where;
    Channel* link;
    DrainedTerminal* console = nullptr;  // where its status text shows, if it has any
};

// Measures every target once (one round); they take turns in blocks of frames.
// `label` goes before the phase's name in the progress display.
std::vector<TargetResult> RunBench(const std::vector<TargetLink>& targets, const BenchConfig& o, Progress* progress,
                                   const std::string& label = "");

}  // namespace zolhost
