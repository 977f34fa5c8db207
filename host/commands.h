// zolhost's commands over an open host link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/hex.h"
#include "host/latency_stats.h"
#include "host/link.h"
#include "host/options.h"
#include "protocol/frame_rules.h"

namespace zolhost {

inline constexpr int kExitGood = 0;
inline constexpr int kExitCheckFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLink = 3;

// Replies as they arrive: the byte stream cut into 9-byte frames.
class ReplyReader {
public:
    explicit ReplyReader(HostLink& link) : link_(link) {}
    // The next 9 bytes, waiting until the deadline for them.
    HostLink::Rx Next(ReplyFrame* reply, Clock::time_point deadline);
    // Drops what has arrived, buffered or not; returns how many bytes.
    std::size_t DiscardPending();
    // Waits up to quietMs for bytes that nobody asked for; returns how many came.
    std::size_t Unasked(int quietMs);
    std::size_t Buffered() const { return buf_.size() - head_; }

private:
    HostLink& link_;
    std::vector<std::uint8_t> buf_;
    std::size_t head_ = 0;
};

// What to say when the host end hangs up: the program at the device end left.
struct LinkContext {
    std::string deviceName;  // "COM2 in /tmp/x" or the port path
};

int RunPing(HostLink& link, const Options& o);
int RunDrive(HostLink& link, const Options& o, const LinkContext& ctx);

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

// Shows progress on stderr when it is a terminal.
class Progress {
public:
    Progress();
    void Show(const std::string& what, std::uint64_t done, std::uint64_t total);
    void Clear();

private:
    bool on_;
    bool shown_ = false;
    Clock::time_point last_{};
};

struct BenchTarget {
    std::string name;
    std::string where;
    HostLink* link;
};

// Measures every target in one run; they take turns in blocks of frames.
std::vector<TargetResult> RunBench(const std::vector<BenchTarget>& targets, const Options& o, Progress* progress);

std::string BenchText(const Options& o, const std::vector<TargetResult>& targets);
std::string BenchJson(const Options& o, const std::vector<TargetResult>& targets);

}  // namespace zolhost
