#include <gtest/gtest.h>

#include "host/base/text.h"

namespace {

using namespace zolhost;

TEST(Hex, BytesShowAndParse) {
    const std::uint8_t bytes[] = {0x02, 0x5A, 0xFF};
    EXPECT_EQ(Hex(bytes, sizeof bytes), "02 5A FF");

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
