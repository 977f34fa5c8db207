// The link's model of a UART receiving from a sender on another line: outcomes
// that the bit timing decides, and the promise that no byte of another line passes.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/stages/uart_model.h"
#include "protocol/frame_rules.h"

namespace zolhost {
namespace {

LineSettings Line(std::uint32_t baud, std::uint8_t data = 8, Parity p = Parity::None, StopSize s = StopSize::One) {
    return {baud, data, p, s};
}

std::vector<std::uint8_t> Receive(const LineSettings& tx, const LineSettings& rx, std::vector<std::uint8_t> bytes) {
    return UartReceive(tx, rx, bytes.data(), bytes.size());
}

TEST(UartModel, BitTimingDecidesWhatTheReceiverTakes) {
    // At 9600 one bit lasts twelve of 115200's: every frame the fast receiver starts
    // lies inside one space bit, so all it reads is framing errors.
    const RequestFrame request = MakeRequest(0x42);
    const auto fromSlow = UartReceive(Line(9600), kDeviceLine, request.data(), request.size());
    EXPECT_GE(fromSlow.size(), request.size());
    EXPECT_EQ(std::count(fromSlow.begin(), fromSlow.end(), 0), static_cast<long>(fromSlow.size()));
    // The other way, a start bit is a twelfth of the slow receiver's bit: in its
    // middle it finds a mark again, and bytes of all marks give it nothing at all.
    EXPECT_TRUE(Receive(kDeviceLine, Line(9600), std::vector<std::uint8_t>(24, 0xFF)).empty());
    // A receiver of 7 data bits takes the eighth for its stop bit: a mark gives the
    // low seven bits, a space a framing error.
    EXPECT_EQ(Receive(kDeviceLine, Line(115200, 7), {0x81, 0x01}), (std::vector<std::uint8_t>{0x01, 0x00}));
    // A parity bit is the eighth data bit to a receiver of 8N1, and the other way a
    // receiver of 7 bits and parity checks the eighth as its parity bit: 01 has one
    // bit set, 03 two. (A byte read as it was sent is an error all the same.)
    struct ParityCase {
        Parity parity;
        std::vector<std::uint8_t> sent, checked;
    };
    const ParityCase parities[] = {
        {Parity::Even, {0x81, 0x00}, {0x01, 0x00}},
        {Parity::Odd, {0x00, 0x83}, {0x00, 0x03}},
        {Parity::Mark, {0x81, 0x83}, {0x01, 0x03}},
        {Parity::Space, {0x00, 0x00}, {0x00, 0x00}},
    };
    for (const ParityCase& c : parities) {
        const LineSettings seven = Line(115200, 7, c.parity);
        EXPECT_EQ(Receive(seven, kDeviceLine, {0x01, 0x03}), c.sent) << SettingsText(seven) << " sent";
        EXPECT_EQ(Receive(kDeviceLine, seven, {0x81, 0x83}), c.checked) << SettingsText(seven) << " checked";
    }
    // Lines that are the same change nothing.
    EXPECT_EQ(Receive(kDeviceLine, kDeviceLine, {0x02, 0x13, 0xFF}), (std::vector<std::uint8_t>{0x02, 0x13, 0xFF}));
}

// Where a real receiver may take a byte of another line right (two stop bits
// against one, a parity bit it does not look for, rates 2% apart), the model reads
// a framing error: a line that differs never passes a frame unseen.
TEST(UartModel, NoByteOfAnotherLineArrivesAsItself) {
    const LineSettings others[] = {
        Line(115200, 8, Parity::None, StopSize::Two), Line(115200, 8, Parity::Even), Line(115200, 8, Parity::Odd),
        Line(115200, 8, Parity::Mark), Line(115200, 7), Line(112900), Line(117500), Line(57600), Line(230400),
        Line(115200, 8, Parity::None, StopSize::OnePointFive)};
    for (const LineSettings& other : others) {
        for (const bool hostSends : {true, false}) {
            const LineSettings& tx = hostSends ? other : kDeviceLine;
            const LineSettings& rx = hostSends ? kDeviceLine : other;
            // From 1: a byte read with a framing error is 0x00 too.
            for (unsigned v = 1; v < 256; ++v) {
                const std::vector<std::uint8_t> one = {static_cast<std::uint8_t>(v)};
                EXPECT_NE(Receive(tx, rx, one), one) << SettingsText(tx) << " to " << SettingsText(rx) << ", " << v;
            }
            const RequestFrame r = MakeRequest(0x5A, 1, 2, 3);
            const ReplyFrame reply = MakeReply(0xA5);
            std::vector<std::uint8_t> frames(r.begin(), r.end());
            frames.insert(frames.end(), reply.begin(), reply.end());
            const auto got = Receive(tx, rx, frames);
            EXPECT_EQ(std::search(got.begin(), got.end(), r.begin(), r.end()), got.end()) << SettingsText(other);
            EXPECT_EQ(std::search(got.begin(), got.end(), reply.begin(), reply.end()), got.end()) << SettingsText(other);
            // 2% off the rate, the receiver starts afresh on each start bit: every
            // byte sent arrives, once, as a framing error.
            if (other.baud == 112900 || other.baud == 117500) {
                EXPECT_EQ(got, std::vector<std::uint8_t>(frames.size(), 0)) << SettingsText(other);
            }
        }
    }
}

}  // namespace
}  // namespace zolhost
