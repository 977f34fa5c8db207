// The receiver model on hand-made streams, worked out from the frame rules.
#include <gtest/gtest.h>

#include <vector>

#include "host/host_frames.h"
#include "host/hunt_model.h"
#include "host/noise.h"

namespace {

using zolhost::HuntEvent;
using zolhost::HuntModel;
using Kind = HuntEvent::Kind;
using Bytes = std::vector<std::uint8_t>;

Bytes Req(std::uint8_t d1, std::uint8_t d2 = 0, std::uint8_t d3 = 0, std::uint8_t d4 = 0) {
    const auto f = zolhost::MakeRequest(d1, d2, d3, d4);
    return Bytes(f.begin(), f.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::vector<HuntEvent> Feed(HuntModel& m, const Bytes& b) {
    std::vector<HuntEvent> ev;
    m.Feed(b.data(), b.size(), &ev);
    return ev;
}

TEST(HuntModel, GoodRequestsAreTakenWhole) {
    HuntModel m;
    auto ev = Feed(m, {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC});
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::Good);
    EXPECT_EQ(ev[0].d1, 0x00);
    ev = Feed(m, {0x02, 0x5A, 0x01, 0x02, 0x03, 0x03, 0x9C});
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::Good);
    EXPECT_EQ(ev[0].d1, 0x5A);
    EXPECT_EQ(ev[0].start, 7u);
    EXPECT_EQ(m.Waiting(), 0u);
}

TEST(HuntModel, SixBytesWaitEvenWhenTheyStartAGoodRequest) {
    HuntModel m;
    const Bytes r = Req(0x11);
    EXPECT_TRUE(Feed(m, Bytes(r.begin(), r.end() - 1)).empty());
    EXPECT_EQ(m.Waiting(), 6u);
    auto ev = Feed(m, {r.back()});
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::Good);
}

TEST(HuntModel, NoiseWithoutStartByteIsDroppedDownToSixBytes) {
    HuntModel m;
    const Bytes noise = {0x55, 0x13, 0x11, 0x00, 0xFF, 0x03, 0x12, 0xAA, 0x01, 0x04};
    EXPECT_TRUE(Feed(m, noise).empty());
    EXPECT_EQ(m.Dropped(), 4u);  // dropped while 10, 9, 8 and 7 bytes waited
    EXPECT_EQ(m.Waiting(), 6u);
    // The next request pushes the other six out in front of it.
    auto ev = Feed(m, Req(0x42));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::Good);
    EXPECT_EQ(ev[0].d1, 0x42);
    EXPECT_EQ(ev[0].start, 10u);
    EXPECT_EQ(m.Dropped(), 10u);
    EXPECT_EQ(m.Waiting(), 0u);
}

TEST(HuntModel, OneNoiseByteBeforeARequestIsDropped) {
    HuntModel m;
    auto ev = Feed(m, Cat({{0x7E}, Req(0x01)}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::Good);
    EXPECT_EQ(ev[0].start, 1u);
}

TEST(HuntModel, NoiseWithAStartByteSpoilsTheRequestAfterIt) {
    HuntModel m;
    // 02 AA, then a request: the frame is 02 AA 02 10 20 30 with 30 in the end
    // position: a wrong end byte. The request's 40, 03 and checksum stay waiting.
    auto ev = Feed(m, Cat({{0x02, 0xAA}, Req(0x10, 0x20, 0x30, 0x40)}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::BadEnd);
    EXPECT_EQ(ev[0].d1, 0xAA);
    EXPECT_EQ(m.Waiting(), 3u);
    // Those three are dropped in front of the next request, which is answered.
    ev = Feed(m, Req(0x11));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::Good);
    EXPECT_EQ(ev[0].d1, 0x11);
}

TEST(HuntModel, WrongEndByteLeavesTheNextByteAsTheFirstCandidate) {
    HuntModel m;
    auto ev = Feed(m, {0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0xFC});
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::BadEnd);
    EXPECT_EQ(m.Waiting(), 1u);  // FC
    ev = Feed(m, Req(0x33));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::Good);
    EXPECT_EQ(ev[0].start, 7u);
    EXPECT_EQ(m.Dropped(), 1u);
}

TEST(HuntModel, WrongEndByteThatIsAStartByteBeginsTheNextFrame) {
    HuntModel m;
    // End position holds 0x02: consumed as the wrong end byte, not a start.
    auto ev = Feed(m, Cat({{0x02, 0x01, 0x02, 0x03, 0x04, 0x02}, Req(0x44)}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, Kind::BadEnd);
    EXPECT_EQ(ev[1].kind, Kind::Good);
    EXPECT_EQ(ev[1].d1, 0x44);
}

TEST(HuntModel, WrongChecksumConsumesAllSevenBytes) {
    HuntModel m;
    auto ev = Feed(m, Cat({{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFD}, Req(0x55)}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, Kind::BadChecksum);
    EXPECT_EQ(ev[1].kind, Kind::Good);
    EXPECT_EQ(ev[1].start, 7u);
    EXPECT_EQ(m.Dropped(), 0u);
}

TEST(HuntModel, StartByteInsideDataIsData) {
    HuntModel m;
    auto ev = Feed(m, Req(0x02, 0x02, 0x02, 0x02));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].kind, Kind::Good);
    EXPECT_EQ(ev[0].d1, 0x02);
    EXPECT_EQ(m.Waiting(), 0u);
}

TEST(HuntModel, TwoRequestsBackToBackAreTwoFrames) {
    HuntModel m;
    auto ev = Feed(m, Cat({Req(0x01), Req(0x02)}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].d1, 0x01);
    EXPECT_EQ(ev[1].d1, 0x02);
}

TEST(HuntModel, FewerThanSevenBytesLeftStayWaiting) {
    HuntModel m;
    // Garbage with a start byte three bytes before the end: nothing is taken from
    // the last six bytes while no more arrive.
    auto ev = Feed(m, {0x99, 0x98, 0x97, 0x02, 0x01, 0x03, 0xFB});
    EXPECT_TRUE(ev.empty());
    EXPECT_EQ(m.Dropped(), 1u);
    EXPECT_EQ(m.Waiting(), 6u);
}

TEST(HuntModel, ResultDoesNotDependOnHowTheBytesAreSplit) {
    zolhost::Rng rng(7);
    Bytes stream;
    for (int i = 0; i < 300; ++i) {
        const Bytes noise = zolhost::NoiseBefore(rng, 40);
        stream.insert(stream.end(), noise.begin(), noise.end());
        const Bytes r = Req(static_cast<std::uint8_t>(i));
        stream.insert(stream.end(), r.begin(), r.end());
    }
    HuntModel whole;
    const auto all = Feed(whole, stream);
    HuntModel trickle;
    std::vector<HuntEvent> bytewise;
    for (std::uint8_t b : stream) {
        trickle.Feed(&b, 1, &bytewise);
    }
    ASSERT_EQ(all.size(), bytewise.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].kind, bytewise[i].kind);
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
            HuntModel m;
            const auto ev = Feed(m, zolhost::MakeNoise(rng, kind));
            ASSERT_EQ(ev.size(), 1u);
            EXPECT_EQ(ev[0].kind, kind == zolhost::NoiseKind::BadEnd ? Kind::BadEnd : Kind::BadChecksum);
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
