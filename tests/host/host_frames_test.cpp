#include <gtest/gtest.h>

#include "host/host_frames.h"

namespace {

using namespace zolhost;

TEST(HostFrames, RequestsCarryTheirChecksum) {
    const auto a = MakeRequest(0x00);
    EXPECT_EQ(Hex(a.data(), a.size()), "02 00 00 00 00 03 FC");
    const auto b = MakeRequest(0x5A, 0x01, 0x02, 0x03);
    EXPECT_EQ(Hex(b.data(), b.size()), "02 5A 01 02 03 03 9C");
}

TEST(HostFrames, RepliesAreTheDevicesOwn) {
    const auto ff = MakeReply(0xFF);
    EXPECT_EQ(Hex(ff.data(), ff.size()), "12 FF 00 00 00 00 00 13 DD");
    const auto a5 = MakeReply(0x5A);
    EXPECT_EQ(Hex(a5.data(), a5.size()), "12 5A 00 00 00 00 00 13 82");
    const auto z = MakeReply(0x00);
    EXPECT_EQ(Hex(z.data(), z.size()), "12 00 00 00 00 00 00 13 DC");
}

TEST(HostFrames, CheckReplyNamesTheFirstFault) {
    ReplyFrame r = MakeReply(ExpectedEa(0xA5));
    EXPECT_EQ(CheckReply(r.data(), 0xA5), ReplyFault::None);
    EXPECT_EQ(CheckReply(r.data(), 0xA4), ReplyFault::WrongEa);

    ReplyFrame start = r;
    start[0] = 0x02;
    EXPECT_EQ(CheckReply(start.data(), 0xA5), ReplyFault::BadStart);

    ReplyFrame data = r;
    data[4] = 0x01;
    data[8] = static_cast<std::uint8_t>(data[8] - 1);  // checksum still right
    EXPECT_EQ(CheckReply(data.data(), 0xA5), ReplyFault::NonZeroData);

    ReplyFrame end = r;
    end[7] = 0x03;
    end[8] = static_cast<std::uint8_t>(end[8] + 0x10);
    EXPECT_EQ(CheckReply(end.data(), 0xA5), ReplyFault::BadEnd);

    ReplyFrame sum = r;
    sum[8] = static_cast<std::uint8_t>(sum[8] + 1);
    EXPECT_EQ(CheckReply(sum.data(), 0xA5), ReplyFault::BadChecksum);
}

TEST(HostFrames, HexBytesParse) {
    std::uint8_t v = 0;
    EXPECT_TRUE(ParseHexByte("5a", &v));
    EXPECT_EQ(v, 0x5A);
    EXPECT_TRUE(ParseHexByte("0xFF", &v));
    EXPECT_EQ(v, 0xFF);
    EXPECT_TRUE(ParseHexByte("7", &v));
    EXPECT_EQ(v, 0x07);
    EXPECT_FALSE(ParseHexByte("", &v));
    EXPECT_FALSE(ParseHexByte("100", &v));
    EXPECT_FALSE(ParseHexByte("g1", &v));
    EXPECT_FALSE(ParseHexByte("0x", &v));
}

}  // namespace
