// The frame rules, the receiver model and the status text, on hand-made bytes
// worked out from the rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/frame_rules.h"
#include "protocol/receiver.h"
#include "protocol/status_text.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Req(std::uint8_t d1, std::uint8_t d2 = 0, std::uint8_t d3 = 0, std::uint8_t d4 = 0) {
    const auto f = MakeRequest(d1, d2, d3, d4);
    return Bytes(f.begin(), f.end());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::vector<ReceivedFrame> Feed(ReceiverModel& m, const Bytes& b) {
    std::vector<ReceivedFrame> frames;
    m.Feed(b.data(), b.size(), &frames);
    return frames;
}

TEST(FrameRules, RequestsCarryTheirChecksum) {
    EXPECT_EQ(Req(0x00), (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC}));
    EXPECT_EQ(Req(0x5A, 0x01, 0x02, 0x03), (Bytes{0x02, 0x5A, 0x01, 0x02, 0x03, 0x03, 0x9C}));
}

TEST(FrameRules, CheckReplyNamesTheFirstFault) {
    ReplyFrame r = MakeReply(ReplyEa(0xA5));
    EXPECT_EQ(r[1], 0x5A);
    EXPECT_EQ(CheckReply(r.data(), 0xA5), ReplyFault::None);
    EXPECT_EQ(CheckReply(r.data(), 0xA4), ReplyFault::WrongEa);

    ReplyFrame start = r;
    start[0] = 0x02;
    EXPECT_EQ(CheckReply(start.data(), 0xA5), ReplyFault::BadStart);

    for (std::size_t at = 2; at <= 6; ++at) {  // each of data bytes 2-6
        ReplyFrame data = r;
        data[at] = 0x01;
        data[8] = static_cast<std::uint8_t>(data[8] - 1);  // checksum still right
        EXPECT_EQ(CheckReply(data.data(), 0xA5), ReplyFault::NonZeroData) << "byte " << at;
    }

    ReplyFrame end = r;
    end[7] = 0x03;
    end[8] = static_cast<std::uint8_t>(end[8] + 0x10);
    EXPECT_EQ(CheckReply(end.data(), 0xA5), ReplyFault::BadEnd);

    ReplyFrame sum = r;
    sum[8] = static_cast<std::uint8_t>(sum[8] + 1);
    EXPECT_EQ(CheckReply(sum.data(), 0xA5), ReplyFault::BadChecksum);
}

TEST(StatusText, OneFrameFormsOneLineEndingInACarriageReturn) {
    char b[kFrameTextMax + 1];
    const std::size_t n = FormatFrameText(b, sizeof b, 0, 0xFF, 0x00);
    EXPECT_EQ(std::string(b, n), "Frame 0 receivedEA:FF, TORA:00\r");
    const std::size_t longest = FormatFrameText(b, sizeof b, 4294967295u, 0x5A, 0xA5);
    EXPECT_EQ(std::string(b, longest), "Frame 4294967295 receivedEA:5A, TORA:A5\r");
    EXPECT_EQ(longest, kFrameTextMax);
    // A buffer one byte short takes nothing.
    EXPECT_EQ(FormatFrameText(b, kFrameTextMax, 4294967295u, 0x5A, 0xA5), 0u);
}

// The scanner finds each status text's TORA whether the texts come whole, several
// in one piece, or a byte at a time, and nothing in a text not yet ended.
TEST(StatusText, TheScannerFindsEachTextWholeTogetherOrByteByByte) {
    char b[kFrameTextMax + 1];
    std::string texts;
    for (const std::uint8_t tora : {0x00, 0xA5, 0x7F}) {
        texts.append(b, FormatFrameText(b, sizeof b, 1000u + tora, 0x12, tora));
    }
    const std::vector<std::uint8_t> want = {0x00, 0xA5, 0x7F};
    std::vector<std::uint8_t> got;
    StatusTextScanner one;
    one.Feed(texts.data(), texts.size() / 3, &got);
    EXPECT_EQ(got, std::vector<std::uint8_t>{0x00}) << "one whole text in one piece";
    one.Feed(texts.data() + texts.size() / 3, texts.size() - texts.size() / 3 - 1, &got);
    EXPECT_EQ(got, (std::vector<std::uint8_t>{0x00, 0xA5})) << "the last text's \\r has not come";
    one.Feed("\r", 1, &got);
    EXPECT_EQ(got, want);
    std::vector<std::uint8_t> byByte;
    StatusTextScanner bytes;
    for (const char c : texts) {
        bytes.Feed(&c, 1, &byByte);
    }
    EXPECT_EQ(byByte, want);
}

// The latest whole status text, as a console shows it: the start-up line and
// text that is not a frame's (or one cut short) leave it as it was.
TEST(StatusText, TheScannerKeepsTheLatestWholeTextOnly) {
    StatusTextScanner s;
    const std::string console = "Zol Emul Started in COM2\nFrame 7 receivedEA:F0, TORA:0F\rFrame 8 receivedEA:ff, TORA:00\r"
                                "noise\rFrame 9 receivedEA:AA, TORA:55";
    for (const char c : console) {
        s.Feed(&c, 1);
    }
    EXPECT_EQ(s.Latest(), "Frame 7 receivedEA:F0, TORA:0F");
    s.Feed("\r", 1);
    EXPECT_EQ(s.Latest(), "Frame 9 receivedEA:AA, TORA:55");
}

TEST(ReceiverModel, GoodRequestsAreTakenWhole) {
    ReceiverModel m;
    auto ev = Feed(m, {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC});
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestOk);
    EXPECT_EQ(ev[0].d1, 0x00);
    ev = Feed(m, {0x02, 0x5A, 0x01, 0x02, 0x03, 0x03, 0x9C});
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestOk);
    EXPECT_EQ(ev[0].d1, 0x5A);
    EXPECT_EQ(ev[0].start, 7u);
    EXPECT_EQ(m.Waiting(), 0u);
}

TEST(ReceiverModel, SixBytesWaitEvenWhenTheyStartAGoodRequest) {
    ReceiverModel m;
    const Bytes r = Req(0x11);
    EXPECT_TRUE(Feed(m, Bytes(r.begin(), r.end() - 1)).empty());
    EXPECT_EQ(m.Waiting(), 6u);
    auto ev = Feed(m, {r.back()});
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestOk);
}

TEST(ReceiverModel, NoiseWithoutStartByteIsDroppedDownToSixBytes) {
    ReceiverModel m;
    const Bytes noise = {0x55, 0x13, 0x11, 0x00, 0xFF, 0x03, 0x12, 0xAA, 0x01, 0x04};
    EXPECT_TRUE(Feed(m, noise).empty());
    EXPECT_EQ(m.Dropped(), 4u);  // dropped while 10, 9, 8 and 7 bytes waited
    EXPECT_EQ(m.Waiting(), 6u);
    // The next request pushes the other six out in front of it.
    auto ev = Feed(m, Req(0x42));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestOk);
    EXPECT_EQ(ev[0].d1, 0x42);
    EXPECT_EQ(ev[0].start, 10u);
    EXPECT_EQ(m.Dropped(), 10u);
    EXPECT_EQ(m.Waiting(), 0u);
}

TEST(ReceiverModel, OneNoiseByteBeforeARequestIsDropped) {
    ReceiverModel m;
    auto ev = Feed(m, Cat({{0x7E}, Req(0x01)}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestOk);
    EXPECT_EQ(ev[0].start, 1u);
}

TEST(ReceiverModel, NoiseWithAStartByteSpoilsTheRequestAfterIt) {
    ReceiverModel m;
    // 02 AA, then a request: the frame is 02 AA 02 10 20 30 with 30 in the end
    // position: a wrong end byte. The request's 40, 03 and checksum stay waiting.
    auto ev = Feed(m, Cat({{0x02, 0xAA}, Req(0x10, 0x20, 0x30, 0x40)}));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestBadEnd);
    EXPECT_EQ(ev[0].d1, 0xAA);
    EXPECT_EQ(m.Waiting(), 3u);
    // Those three are dropped in front of the next request, which is answered.
    ev = Feed(m, Req(0x11));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestOk);
    EXPECT_EQ(ev[0].d1, 0x11);
}

TEST(ReceiverModel, WrongEndByteLeavesTheNextByteAsTheFirstCandidate) {
    ReceiverModel m;
    auto ev = Feed(m, {0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0xFC});
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestBadEnd);
    EXPECT_EQ(m.Waiting(), 1u);  // FC
    ev = Feed(m, Req(0x33));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestOk);
    EXPECT_EQ(ev[0].start, 7u);
    EXPECT_EQ(m.Dropped(), 1u);
}

TEST(ReceiverModel, WrongEndByteThatIsAStartByteBeginsTheNextFrame) {
    ReceiverModel m;
    // End position holds 0x02: consumed as the wrong end byte, not a start.
    auto ev = Feed(m, Cat({{0x02, 0x01, 0x02, 0x03, 0x04, 0x02}, Req(0x44)}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].result, kRequestBadEnd);
    EXPECT_EQ(ev[1].result, kRequestOk);
    EXPECT_EQ(ev[1].d1, 0x44);
}

TEST(ReceiverModel, WrongChecksumConsumesAllSevenBytes) {
    ReceiverModel m;
    auto ev = Feed(m, Cat({{0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFD}, Req(0x55)}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].result, kRequestBadChecksum);
    EXPECT_EQ(ev[1].result, kRequestOk);
    EXPECT_EQ(ev[1].start, 7u);
    EXPECT_EQ(m.Dropped(), 0u);
}

TEST(ReceiverModel, StartByteInsideDataIsData) {
    ReceiverModel m;
    auto ev = Feed(m, Req(0x02, 0x02, 0x02, 0x02));
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].result, kRequestOk);
    EXPECT_EQ(ev[0].d1, 0x02);
    EXPECT_EQ(m.Waiting(), 0u);
}

TEST(ReceiverModel, TwoRequestsBackToBackAreTwoFrames) {
    ReceiverModel m;
    auto ev = Feed(m, Cat({Req(0x01), Req(0x02)}));
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].d1, 0x01);
    EXPECT_EQ(ev[1].d1, 0x02);
}

TEST(ReceiverModel, FewerThanSevenBytesLeftStayWaiting) {
    ReceiverModel m;
    // Garbage with a start byte three bytes before the end: nothing is taken from
    // the last six bytes while no more arrive.
    auto ev = Feed(m, {0x99, 0x98, 0x97, 0x02, 0x01, 0x03, 0xFB});
    EXPECT_TRUE(ev.empty());
    EXPECT_EQ(m.Dropped(), 1u);
    EXPECT_EQ(m.Waiting(), 6u);
}

}  // namespace
