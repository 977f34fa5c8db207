#include "host/base/latency_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zolhost {

void LatencyStats::Add(double micros) {
    samples_.push_back(micros);
    sorted_ = false;
}

void LatencyStats::AddAll(const LatencyStats& other) {
    samples_.insert(samples_.end(), other.samples_.begin(), other.samples_.end());
    sorted_ = samples_.empty();
}

void LatencyStats::Sort() const {
    if (!sorted_) {
        std::sort(samples_.begin(), samples_.end());
        sorted_ = true;
    }
}

double LatencyStats::Percentile(double p) const {
    if (samples_.empty()) {
        return 0;
    }
    Sort();
    const double n = static_cast<double>(samples_.size());
    // Rank in 1..n; the small margin keeps 99.9% of 1000 samples at rank 999.
    double rank = std::ceil(p / 100.0 * n - 1e-9);
    rank = std::clamp(rank, 1.0, n);
    return samples_[static_cast<std::size_t>(rank) - 1];
}

namespace {

// Bucket bounds on a 1-2-5 scale: 1, 2, 5, 10, 20, 50, ... microseconds.
double BoundAt(int i) {
    static const double kSteps[] = {1, 2, 5};
    return kSteps[i % 3] * std::pow(10.0, i / 3);
}

int BucketOf(double micros) {
    int i = 0;
    while (i < 30 && micros >= BoundAt(i + 1)) {
        ++i;
    }
    return i;
}

// The unit ladder of every time shown: seconds from 1e6 us, milliseconds from 1e3 us.
struct Scaled {
    double value;
    const char* unit;
    int decimals;  // shown by FormatMicros
};

Scaled InUnits(double micros) {
    if (micros >= 1e6) {
        return {micros / 1e6, "s", 2};
    }
    if (micros >= 1e3) {
        return {micros / 1e3, "ms", 2};
    }
    return {micros, "us", 1};
}

// A bucket bound: "20 us", "1 ms".
std::string Bound(double micros) {
    const Scaled s = InUnits(micros);
    char b[32];
    std::snprintf(b, sizeof b, "%g %s", s.value, s.unit);
    return b;
}

}  // namespace

std::string LatencyStats::Histogram(int width) const {
    if (samples_.empty()) {
        return {};
    }
    Sort();
    const int lo = BucketOf(samples_.front());
    const int hi = BucketOf(samples_.back());
    std::vector<std::size_t> counts(static_cast<std::size_t>(hi - lo + 1), 0);
    for (double s : samples_) {
        ++counts[static_cast<std::size_t>(BucketOf(s) - lo)];
    }
    const std::size_t most = *std::max_element(counts.begin(), counts.end());
    std::string out;
    for (int i = lo; i <= hi; ++i) {
        const std::size_t c = counts[static_cast<std::size_t>(i - lo)];
        int bar = static_cast<int>(static_cast<double>(c) * width / static_cast<double>(most) + 0.5);
        if (c > 0 && bar == 0) {
            bar = 1;  // a bucket with samples always shows
        }
        const std::string range = Bound(BoundAt(i)) + " - " + Bound(BoundAt(i + 1));
        char line[64];
        std::snprintf(line, sizeof line, "    %-18s ", range.c_str());
        out += line;
        out.append(static_cast<std::size_t>(bar), '#');
        out.append(static_cast<std::size_t>(width - bar + 1), ' ');
        std::snprintf(line, sizeof line, "%llu\n", static_cast<unsigned long long>(c));
        out += line;
    }
    return out;
}

std::string FormatMicros(double micros) {
    const Scaled s = InUnits(micros);
    char b[32];
    std::snprintf(b, sizeof b, "%.*f %s", s.decimals, s.value, s.unit);
    return b;
}

double MicrosSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace zolhost
