#include "host/latency_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zolhost {

void LatencyStats::Add(double micros) {
    samples_.push_back(micros);
    sorted_ = false;
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

std::string Bound(double micros) {
    char b[32];
    if (micros >= 1e6) {
        std::snprintf(b, sizeof b, "%g s", micros / 1e6);
    } else if (micros >= 1e3) {
        std::snprintf(b, sizeof b, "%g ms", micros / 1e3);
    } else {
        std::snprintf(b, sizeof b, "%g us", micros);
    }
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
    char b[32];
    if (micros >= 1e6) {
        std::snprintf(b, sizeof b, "%.2f s", micros / 1e6);
    } else if (micros >= 1e3) {
        std::snprintf(b, sizeof b, "%.2f ms", micros / 1e3);
    } else {
        std::snprintf(b, sizeof b, "%.1f us", micros);
    }
    return b;
}

}  // namespace zolhost
