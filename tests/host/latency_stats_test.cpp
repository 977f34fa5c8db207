#include <gtest/gtest.h>

#include "host/base/latency_stats.h"

namespace {

using zolhost::LatencyStats;

TEST(LatencyStats, NearestRankPercentiles) {
    LatencyStats s;
    for (int i = 1000; i >= 1; --i) {
        s.Add(i);
    }
    EXPECT_EQ(s.Min(), 1);
    EXPECT_EQ(s.Median(), 500);
    EXPECT_EQ(s.Percentile(90), 900);
    EXPECT_EQ(s.Percentile(99), 990);
    EXPECT_EQ(s.Percentile(99.9), 999);
    EXPECT_EQ(s.Max(), 1000);
}

TEST(LatencyStats, FewSamples) {
    LatencyStats s;
    EXPECT_EQ(s.Median(), 0);
    EXPECT_EQ(s.Histogram(), "");
    s.Add(42);
    EXPECT_EQ(s.Percentile(99.9), 42);
    s.Add(10);
    EXPECT_EQ(s.Median(), 10);
    EXPECT_EQ(s.Percentile(51), 42);
}

TEST(LatencyStats, HistogramOnOneTwoFiveBuckets) {
    LatencyStats s;
    for (int i = 0; i < 8; ++i) {
        s.Add(30);  // 20 us - 50 us
    }
    s.Add(60);    // 50 us - 100 us
    s.Add(1500);  // 1 ms - 2 ms
    const std::string h = s.Histogram(8);
    EXPECT_EQ(h,
              "    20 us - 50 us      ######## 8\n"
              "    50 us - 100 us     #        1\n"
              "    100 us - 200 us             0\n"
              "    200 us - 500 us             0\n"
              "    500 us - 1 ms               0\n"
              "    1 ms - 2 ms        #        1\n");
}

TEST(LatencyStats, Formatting) {
    EXPECT_EQ(zolhost::FormatMicros(12.34), "12.3 us");
    EXPECT_EQ(zolhost::FormatMicros(1234), "1.23 ms");
    EXPECT_EQ(zolhost::FormatMicros(2.5e6), "2.50 s");
}

}  // namespace
