// The benchmark's noise, and the receiver model on noisy streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "host/bench/noise.h"
#include "protocol/frame_rules.h"
#include "protocol/receiver.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<ReceivedFrame> Feed(ReceiverModel& m, const Bytes& b) {
    std::vector<ReceivedFrame> frames;
    m.Feed(b.data(), b.size(), &frames);
    return frames;
}

TEST(ReceiverModel, ResultDoesNotDependOnHowTheBytesAreSplit) {
    zolhost::Rng rng(7);
    Bytes stream;
    for (int i = 0; i < 300; ++i) {
        const Bytes noise = zolhost::NoiseBefore(rng, 40);
        stream.insert(stream.end(), noise.begin(), noise.end());
        const RequestFrame r = MakeRequest(static_cast<std::uint8_t>(i));
        stream.insert(stream.end(), r.begin(), r.end());
    }
    ReceiverModel whole;
    const auto all = Feed(whole, stream);
    ReceiverModel trickle;
    std::vector<ReceivedFrame> bytewise;
    for (std::uint8_t b : stream) {
        trickle.Feed(&b, 1, &bytewise);
    }
    ASSERT_EQ(all.size(), bytewise.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].result, bytewise[i].result);
        EXPECT_EQ(all[i].start, bytewise[i].start);
    }
    EXPECT_EQ(whole.Waiting(), trickle.Waiting());
}

TEST(Noise, EachKindIsWhatItSays) {
    zolhost::Rng rng(3);
    for (int i = 0; i < 200; ++i) {
        const Bytes g = zolhost::MakeNoise(rng, zolhost::NoiseKind::Garbage);
        EXPECT_GE(g.size(), 1u);
        EXPECT_LE(g.size(), 8u);
        for (std::uint8_t b : g) {
            EXPECT_NE(b, kRequestStart);
        }
        const Bytes s = zolhost::MakeNoise(rng, zolhost::NoiseKind::GarbageWithStart);
        EXPECT_NE(std::find(s.begin(), s.end(), kRequestStart), s.end());
        for (auto kind : {zolhost::NoiseKind::BadEnd, zolhost::NoiseKind::BadChecksum}) {
            ReceiverModel m;
            const auto ev = Feed(m, zolhost::MakeNoise(rng, kind));
            ASSERT_EQ(ev.size(), 1u);
            EXPECT_EQ(ev[0].result, kind == zolhost::NoiseKind::BadEnd ? kRequestBadEnd : kRequestBadChecksum);
        }
    }
}

TEST(Noise, PercentageZeroGivesNoneAndHundredGivesAlways) {
    zolhost::Rng rng(5);
    for (int i = 0; i < 100; ++i) {
        EXPECT_TRUE(zolhost::NoiseBefore(rng, 0).empty());
        EXPECT_FALSE(zolhost::NoiseBefore(rng, 100).empty());
    }
}

}  // namespace
