// The built-in device on bytes in memory: its answers against the receiver model
// and the EA rule, and its output rule when the link does not read.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "host/transport/builtin_device.h"
#include "protocol/frame_rules.h"
#include "protocol/receiver.h"

namespace zolhost {
namespace {

std::vector<std::uint8_t> ReadAll(BuiltinDevice& d) {
    std::vector<std::uint8_t> out;
    std::uint8_t buf[1000];
    std::size_t got = 0;
    while (d.Read(buf, sizeof buf, &got) == Io::Done) {
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

std::string Hex2(std::uint8_t b) {
    char t[3];
    std::snprintf(t, sizeof t, "%02X", b);
    return t;
}

void Send(BuiltinDevice& d, const std::vector<std::uint8_t>& bytes) {
    std::size_t taken = 0;
    ASSERT_EQ(d.Write(bytes.data(), bytes.size(), &taken), Io::Done);
    ASSERT_EQ(taken, bytes.size());
}

TEST(BuiltinDevice, AnswersAStreamInPiecesAsTheReceiverModelTakesIt) {
    std::mt19937 rng(34);
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < 300; ++i) {
        for (int k = static_cast<int>(rng() % 9); k > 0; --k) {
            stream.push_back(static_cast<std::uint8_t>(rng()));  // noise, 0x02 among it
        }
        RequestFrame f = MakeRequest(static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()));
        if (i % 5 == 1) {
            f[kRequestEndAt] ^= 0x40;
        } else if (i % 5 == 2) {
            f[kRequestSize - 1] ^= 0x01;
        }
        stream.insert(stream.end(), f.begin(), f.end());
    }
    ReceiverModel model;
    std::vector<ReceivedFrame> frames;
    model.Feed(stream.data(), stream.size(), &frames);
    std::vector<std::uint8_t> expected;
    std::uint64_t badEnd = 0, badChecksum = 0;
    for (const ReceivedFrame& f : frames) {
        if (f.result == kRequestOk) {
            const ReplyFrame r = MakeReply(ReplyEa(f.d1));
            expected.insert(expected.end(), r.begin(), r.end());
        }
        badEnd += f.result == kRequestBadEnd;
        badChecksum += f.result == kRequestBadChecksum;
    }
    ASSERT_GT(badEnd, 0u);
    ASSERT_GT(badChecksum, 0u);

    BuiltinDevice d("device");
    std::vector<std::uint8_t> got;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min<std::size_t>(1 + rng() % 11, stream.size() - at);
        Send(d, {stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(at + n)});
        at += n;
        if (rng() % 3 == 0) {
            const auto part = ReadAll(d);
            got.insert(got.end(), part.begin(), part.end());
        }
    }
    const auto rest = ReadAll(d);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, expected);
    EXPECT_EQ(d.Tally().answered, expected.size() / kReplySize);
    EXPECT_EQ(d.Tally().badEnd, badEnd);
    EXPECT_EQ(d.Tally().badChecksum, badChecksum);
}

// Nobody reads: the driver queue fills, then whole replies are held up to the
// port's bound; the requests behind them wait in the input queue, unanswered and
// not dropped, until the link reads. Once read, every reply follows in order, and
// a purge drops what is held and what waits.
TEST(BuiltinDevice, HoldsWholeRepliesUpToTheBoundAndTheRequestsBehindThemWait) {
    BuiltinDevice d("device");
    constexpr int kRequests = 1000;
    for (int i = 0; i < kRequests; ++i) {
        const RequestFrame f = MakeRequest(static_cast<std::uint8_t>(i));
        Send(d, {f.begin(), f.end()});
    }
    EXPECT_EQ(d.Queued(), BuiltinDevice::kDriverQueue);
    EXPECT_LE(d.Held(), kHeldOutputBound);
    EXPECT_GT(d.Held() + kReplySize, kHeldOutputBound);
    const std::size_t kept = (d.Queued() + d.Held()) / kReplySize;
    EXPECT_EQ(d.Tally().answered, kept);
    EXPECT_EQ(d.Tally().refused, 0u);
    EXPECT_EQ(d.Waiting(), (kRequests - kept) * kRequestSize);
    EXPECT_EQ(d.LastFrame(), "Frame " + std::to_string(kept - 1) + " receivedEA:" + Hex2(ReplyEa(static_cast<std::uint8_t>(kept - 1))) +
                                 ", TORA:" + Hex2(static_cast<std::uint8_t>(kept - 1)));
    const auto out = ReadAll(d);
    ASSERT_EQ(out.size(), kRequests * kReplySize);
    for (std::size_t i = 0; i < kRequests; ++i) {
        const ReplyFrame r = MakeReply(ReplyEa(static_cast<std::uint8_t>(i)));
        ASSERT_TRUE(std::equal(r.begin(), r.end(), out.begin() + static_cast<std::ptrdiff_t>(i * kReplySize))) << i;
    }
    EXPECT_EQ(d.Tally().answered, static_cast<std::uint64_t>(kRequests));
    for (int i = 0; i < kRequests; ++i) {
        const RequestFrame f = MakeRequest(0x55);
        Send(d, {f.begin(), f.end()});
    }
    ASSERT_GT(d.Held(), 0u);
    ASSERT_GT(d.Waiting(), 0u);
    d.Purge();
    EXPECT_EQ(d.Queued() + d.Held() + d.Waiting(), 0u);
    const RequestFrame f = MakeRequest(0x0F);
    Send(d, {f.begin(), f.end()});
    const ReplyFrame r = MakeReply(0xF0);
    EXPECT_EQ(ReadAll(d), std::vector<std::uint8_t>(r.begin(), r.end()));
}

// A flood in one write: the input queue takes what it has room for and no more
// (the writer is told to wait), and as the replies are read the device takes the
// rest, until every request is answered in order and none refused.
TEST(BuiltinDevice, TakesAFloodOnlyAsItsInputQueueHasRoomAndLosesNoReply) {
    BuiltinDevice d("device");
    constexpr int kRequests = 5000;
    std::vector<std::uint8_t> flood;
    for (int i = 0; i < kRequests; ++i) {
        const RequestFrame f = MakeRequest(static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8));
        flood.insert(flood.end(), f.begin(), f.end());
    }
    std::vector<std::uint8_t> got;
    std::size_t at = 0;
    int writes = 0;
    while (at < flood.size() && writes < kRequests) {
        std::size_t taken = 0;
        const Io r = d.Write(flood.data() + at, flood.size() - at, &taken);
        at += taken;
        ++writes;
        ASSERT_LE(d.Waiting(), BuiltinDevice::kInputQueue);
        ASSERT_EQ(r, at == flood.size() ? Io::Done : Io::WouldBlock);
        ASSERT_EQ(d.RoomNow(), d.Waiting() < BuiltinDevice::kInputQueue);
        std::uint8_t buf[4096];  // what the link reads at a time
        std::size_t n = 0;
        if (d.Read(buf, sizeof buf, &n) == Io::Done) {
            got.insert(got.end(), buf, buf + n);
        }
    }
    ASSERT_EQ(at, flood.size());
    EXPECT_GT(writes, 1);  // held back at least once
    const auto rest = ReadAll(d);
    got.insert(got.end(), rest.begin(), rest.end());
    ASSERT_EQ(got.size(), kRequests * kReplySize);
    for (std::size_t i = 0; i < kRequests; ++i) {
        const ReplyFrame r = MakeReply(ReplyEa(static_cast<std::uint8_t>(i)));
        ASSERT_TRUE(std::equal(r.begin(), r.end(), got.begin() + static_cast<std::ptrdiff_t>(i * kReplySize))) << i;
    }
    EXPECT_EQ(d.Tally().answered, static_cast<std::uint64_t>(kRequests));
    EXPECT_EQ(d.Tally().refused, 0u);
}

}  // namespace
}  // namespace zolhost
