// Round-trip times: order statistics and a small text histogram.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zolhost {

class LatencyStats {
public:
    void Add(double micros);
    void AddAll(const LatencyStats& other);
    std::size_t Count() const { return samples_.size(); }
    // Nearest-rank percentile, p in [0, 100]: the smallest sample with at least p%
    // of the samples at or below it. 0 when there are no samples.
    double Percentile(double p) const;
    double Min() const { return Percentile(0); }
    double Median() const { return Percentile(50); }
    double Max() const { return Percentile(100); }
    // One line per bucket, buckets on a 1-2-5 scale in microseconds, bars scaled
    // to `width` characters for the fullest bucket. Empty when there are no samples.
    std::string Histogram(int width = 40) const;

private:
    void Sort() const;

    mutable std::vector<double> samples_;
    mutable bool sorted_ = true;
};

// "12.3 us", "1.23 ms", "1.23 s"
std::string FormatMicros(double micros);

// Microseconds from t0 until now.
double MicrosSince(std::chrono::steady_clock::time_point t0);

}  // namespace zolhost
