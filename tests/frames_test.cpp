// The frame reader and writer on bytes queued in the fake port.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

#include "emulator/frames.h"
#include "serial/com_port.h"
#include "tests/fake_os.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class FramesTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        fake::AddDevice("COM2");
        ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
        TORA = 0;
        EA = 0;
    }
    void TearDown() override { ComClose(); }

    static fake::Device& Port() { return fake::GetDevice("COM2"); }
    static void Queue(const Bytes& bytes) { Port().rx.insert(Port().rx.end(), bytes.begin(), bytes.end()); }
    static Bytes Waiting() { return Bytes(Port().rx.begin(), Port().rx.end()); }
};

const Bytes kGood00 = {0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFC};
const Bytes kGood5A = {0x02, 0x5A, 0x01, 0x02, 0x03, 0x03, 0x9C};

TEST_F(FramesTest, AcceptsGoodRequestsAndStoresTheirFirstDataByte) {
    Queue(kGood00);
    TORA = 0x77;
    EXPECT_EQ(ReceiveRequest(), kRequestOk);
    EXPECT_EQ(TORA, 0x00);
    Queue(kGood5A);
    EXPECT_EQ(ReceiveRequest(), kRequestOk);
    EXPECT_EQ(TORA, 0x5A);
    EXPECT_TRUE(Port().rx.empty());
}

TEST_F(FramesTest, ShortQueueConsumesNothing) {
    Queue(Bytes(kGood00.begin(), kGood00.end() - 1));
    EXPECT_EQ(ReceiveRequest(), kRequestIncomplete);
    EXPECT_EQ(Port().rx.size(), 6u);
    Queue({0xFC});
    EXPECT_EQ(ReceiveRequest(), kRequestOk);
}

TEST_F(FramesTest, NoiseIsDroppedOnlyWhileSevenBytesWait) {
    const Bytes noise = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19};
    Queue(noise);
    EXPECT_EQ(ReceiveRequest(), kRequestIncomplete);
    EXPECT_EQ(Waiting(), Bytes(noise.begin() + 4, noise.end()));

    fake::GetDevice("COM2").rx.clear();
    Queue({0xAA});
    Queue(kGood5A);
    EXPECT_EQ(ReceiveRequest(), kRequestOk);
    EXPECT_EQ(TORA, 0x5A);
    EXPECT_TRUE(Port().rx.empty());
}

TEST_F(FramesTest, WrongEndByteIsConsumedAndTheNextByteStartsTheHunt) {
    // The checksum position holds 0x02 here, so the next hunt starts a frame on it.
    Queue({0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0x02, 0x44, 0x00, 0x00, 0x00, 0x03, 0xB8});
    EXPECT_EQ(ReceiveRequest(), kRequestBadEnd);
    EXPECT_EQ(Port().rx.size(), 7u);
    EXPECT_EQ(ReceiveRequest(), kRequestOk);
    EXPECT_EQ(TORA, 0x44);

    Queue({0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0xFC});
    EXPECT_EQ(ReceiveRequest(), kRequestBadEnd);
    EXPECT_EQ(Waiting(), Bytes{0xFC});
}

TEST_F(FramesTest, WrongChecksumConsumesAllSevenBytes) {
    Queue({0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFD});
    Queue(kGood5A);
    EXPECT_EQ(ReceiveRequest(), kRequestBadChecksum);
    EXPECT_EQ(Waiting(), kGood5A);
}

TEST_F(FramesTest, StartByteInsideDataIsData) {
    const Bytes request = {0x02, 0x02, 0x02, 0x02, 0x02, 0x03, 0xF4};
    Queue(request);
    EXPECT_EQ(ReceiveRequest(), kRequestOk);
    EXPECT_EQ(TORA, 0x02);
}

TEST_F(FramesTest, BackToBackRequestsAreTakenOneAtATime) {
    Queue(kGood00);
    Queue(kGood5A);
    EXPECT_EQ(ReceiveRequest(), kRequestOk);
    EXPECT_EQ(TORA, 0x00);
    EXPECT_EQ(Waiting(), kGood5A);
    EXPECT_EQ(ReceiveRequest(), kRequestOk);
    EXPECT_EQ(TORA, 0x5A);
    EXPECT_EQ(ReceiveRequest(), kRequestIncomplete);
}

TEST_F(FramesTest, FailingReadMidFrameAcceptsNothing) {
    // The count says seven bytes wait, but the port fails after the start byte and
    // one data byte: the frame is not accepted and no byte is made up.
    Queue({0x02, 0x5A, 0x01, 0x02, 0x03, 0x03, 0x9C});
    Port().readsBeforeFailure = 2;
    TORA = 0x11;
    EXPECT_EQ(ReceiveRequest(), kRequestIncomplete);
    EXPECT_EQ(TORA, 0x5A);

    // Failing before the first data byte leaves TORA alone.
    Port().rx.clear();
    Queue(kGood00);
    Port().readsBeforeFailure = 1;
    TORA = 0x11;
    EXPECT_EQ(ReceiveRequest(), kRequestIncomplete);
    EXPECT_EQ(TORA, 0x11);
}

TEST_F(FramesTest, FailingReadsDuringTheHuntEndTheCall) {
    // A port that keeps counting bytes it cannot deliver must not trap the caller.
    Queue(Bytes(20, 0x55));
    Port().readsBeforeFailure = 0;
    EXPECT_EQ(ReceiveRequest(), kRequestIncomplete);
}

TEST_F(FramesTest, ReplyCarriesTheComplementByteAndChecksum) {
    const struct {
        std::uint8_t ea;
        Bytes reply;
    } cases[] = {
        {0xFF, {0x12, 0xFF, 0, 0, 0, 0, 0, 0x13, 0xDD}},
        {0x5A, {0x12, 0x5A, 0, 0, 0, 0, 0, 0x13, 0x82}},
        {0x00, {0x12, 0x00, 0, 0, 0, 0, 0, 0x13, 0xDC}},
    };
    for (const auto& c : cases) {
        Port().tx.clear();
        EA = c.ea;
        EXPECT_EQ(SendReply(), 0);
        EXPECT_EQ(Port().tx, c.reply) << "EA " << int(c.ea);
    }
}

TEST_F(FramesTest, ReplyWriteFailuresAreNotReported) {
    Port().writeFails = true;
    EXPECT_EQ(SendReply(), 0);
    Port().writeFails = false;
    Port().writePending = true;
    EXPECT_EQ(SendReply(), 0);
}

TEST_F(FramesTest, ReaderAgreesWithTheReceiverModelOnTheSameBytes) {
    // Good requests, frames with a wrong end byte or checksum, and stray bytes
    // (start bytes among them), queued in pieces of random size; after each piece
    // the reader is called until nothing more can be taken, as the loop does.
    std::mt19937 rng(11);
    auto byte = [&] { return static_cast<std::uint8_t>(rng() & 0xFF); };
    Bytes stream;
    for (int i = 0; i < 2000; ++i) {
        RequestFrame f = MakeRequest(byte(), byte(), byte(), byte());
        switch (rng() % 5) {
        case 0: f[kRequestEndAt] = byte(); break;
        case 1: f[kRequestSize - 1] = byte(); break;
        case 2: stream.push_back(rng() % 3 == 0 ? kRequestStart : byte()); break;
        default: break;
        }
        stream.insert(stream.end(), f.begin(), f.end());
    }
    ReceiverModel model;
    std::vector<ReceivedFrame> expected;
    std::vector<std::pair<int, std::uint8_t>> read;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 20, stream.size() - at);
        const Bytes piece(stream.begin() + static_cast<std::ptrdiff_t>(at),
                          stream.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        model.Feed(piece.data(), piece.size(), &expected);
        Queue(piece);
        for (int r = ReceiveRequest(); r != kRequestIncomplete; r = ReceiveRequest()) {
            read.emplace_back(r, TORA);
        }
        ASSERT_EQ(Port().rx.size(), model.Waiting()) << "after " << at << " bytes";
    }
    ASSERT_EQ(read.size(), expected.size());
    for (std::size_t i = 0; i < read.size(); ++i) {
        EXPECT_EQ(read[i].first, expected[i].result) << "frame " << i;
        EXPECT_EQ(read[i].second, expected[i].d1) << "frame " << i;
    }
}

}  // namespace
