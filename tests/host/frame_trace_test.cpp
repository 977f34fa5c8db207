#include <gtest/gtest.h>

#include "host/base/text.h"
#include "host/bench/noise.h"
#include "host/stages/frame_cut.h"
#include "protocol/frame_rules.h"

namespace {

using namespace zolhost;

using Bytes = std::vector<std::uint8_t>;

// The device-to-host stream is what the host gets: cut into pieces, it must come
// out whole, in order, however it arrives.
TEST(ReplyStream, EveryByteComesOutOnceInOrderWithTheRepliesCutOut) {
    Rng rng(11);
    for (int run = 0; run < 200; ++run) {
        Bytes in;
        while (in.size() < 300) {
            if (rng.Below(3) == 0) {
                const ReplyFrame r = MakeReply(static_cast<std::uint8_t>(rng.Below(256)));
                in.insert(in.end(), r.begin(), r.end());
            } else {
                // Noise, start and end bytes among it.
                const std::uint8_t pick[] = {kReplyStart, kReplyEnd, 0x00, static_cast<std::uint8_t>(rng.Below(256))};
                in.push_back(pick[rng.Below(4)]);
            }
        }
        ReplyStream stream;
        std::vector<Segment> out;
        for (std::size_t at = 0; at < in.size();) {
            const std::size_t n = std::min<std::size_t>(1 + rng.Below(12), in.size() - at);
            stream.Feed(in.data() + at, n, &out);
            at += n;
        }
        stream.Quiet(&out);
        EXPECT_FALSE(stream.Pending());
        Bytes back;
        for (const Segment& s : out) {
            back.insert(back.end(), s.bytes.begin(), s.bytes.end());
            if (s.kind == Segment::Kind::Reply) {
                ASSERT_EQ(s.bytes.size(), kReplySize);
                EXPECT_EQ(s.bytes[0], kReplyStart);
                EXPECT_EQ(s.bytes[kReplySize - 2], kReplyEnd);
            }
        }
        ASSERT_EQ(back, in) << "run " << run;
    }
}

TEST(ReplyStream, AStartByteWithoutItsEndIsNoiseAndTheReplyAfterItIsFound) {
    ReplyStream stream;
    std::vector<Segment> out;
    const ReplyFrame r = MakeReply(0xA5);
    Bytes in = {0x12, 0x55};
    in.insert(in.end(), r.begin(), r.end());
    stream.Feed(in.data(), in.size(), &out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].kind, Segment::Kind::Noise);
    EXPECT_EQ(Hex(out[0].bytes.data(), out[0].bytes.size()), "12 55");
    EXPECT_EQ(out[1].what, "reply EA A5 good");

    // The start of a reply waits for the rest, and goes out as noise if it never comes.
    stream.Feed(r.data(), 4, &out);
    EXPECT_EQ(out.size(), 2u);
    EXPECT_TRUE(stream.Pending());
    stream.Quiet(&out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].what, "noise");
    EXPECT_EQ(out[2].bytes.size(), 4u);

    ReplyFrame bad = r;
    bad[kReplySize - 1] ^= 0x40;
    stream.Feed(bad.data(), bad.size(), &out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3].what, "reply bad checksum");
    EXPECT_FALSE(out[3].good);
}

}  // namespace
