#include <gtest/gtest.h>

#include "host/stages/fault_plan.h"
#include "protocol/frame_rules.h"

namespace {

using namespace zolhost;

constexpr std::uint64_t kReplies = 20000;

TEST(FaultPlan, SharesOfDroppedAndCorruptedRepliesFollowTheSettings) {
    FaultSettings s;
    s.dropPct = 10;
    s.corruptPct = 25;
    const FaultPlan plan(s, 1);
    std::uint64_t dropped = 0;
    std::uint64_t corrupted = 0;
    for (std::uint64_t i = 0; i < kReplies; ++i) {
        const ReplyFaults f = plan.For(i);
        dropped += f.drop ? 1 : 0;
        corrupted += f.Corrupted() ? 1 : 0;
        EXPECT_FALSE(f.drop && f.Corrupted()) << i;
        EXPECT_EQ(f.delayMs, 0);
        EXPECT_EQ(f.splitAt, 0);
    }
    EXPECT_NEAR(dropped * 100.0 / kReplies, 10, 1);
    EXPECT_NEAR(corrupted * 100.0 / kReplies, 25, 1);

    FaultSettings all;
    all.dropPct = 100;
    all.delayMaxMs = 5;
    all.splitGapMs = 1;
    EXPECT_TRUE(FaultPlan(all, 3).For(7).drop);
    EXPECT_EQ(FaultPlan(all, 3).For(7).splitAt, 0);  // nothing else happens to a dropped reply
}

TEST(FaultPlan, TheSeedAloneDecidesWhichReplyMeetsWhat) {
    FaultSettings s;
    s.dropPct = 30;
    s.corruptPct = 30;
    s.delayMinMs = 2;
    s.delayMaxMs = 9;
    s.splitGapMs = 0;
    const FaultPlan a(s, 42);
    const FaultPlan b(s, 42);
    const FaultPlan other(s, 43);
    int differ = 0;
    int shortest = 100, longest = 0, firstPart = 100, lastPart = 0;
    for (std::uint64_t i = 0; i < 1000; ++i) {
        const ReplyFaults x = a.For(i);
        const ReplyFaults y = b.For(i);
        EXPECT_EQ(x.drop, y.drop);
        EXPECT_EQ(x.corruptAt, y.corruptAt);
        EXPECT_EQ(x.corruptXor, y.corruptXor);
        EXPECT_EQ(x.delayMs, y.delayMs);
        EXPECT_EQ(x.splitAt, y.splitAt);
        const ReplyFaults o = other.For(i);
        differ += (o.drop != x.drop || o.corruptAt != x.corruptAt || o.delayMs != x.delayMs) ? 1 : 0;
        if (!x.drop) {
            shortest = std::min(shortest, x.delayMs);
            longest = std::max(longest, x.delayMs);
            firstPart = std::min(firstPart, x.splitAt);
            lastPart = std::max(lastPart, x.splitAt);
        }
    }
    EXPECT_GT(differ, 500);
    EXPECT_EQ(shortest, 2);
    EXPECT_EQ(longest, 9);
    // Both parts of a split reply hold at least one byte.
    EXPECT_EQ(firstPart, 1);
    EXPECT_EQ(lastPart, static_cast<int>(kReplySize) - 1);
}

TEST(FaultPlan, ACorruptedReplyDiffersInOneByteAndFailsItsChecksum) {
    FaultSettings s;
    s.corruptPct = 100;
    const FaultPlan plan(s, 5);
    for (std::uint64_t i = 0; i < 2000; ++i) {
        const ReplyFaults f = plan.For(i);
        ASSERT_TRUE(f.Corrupted());
        const ReplyFrame good = MakeReply(static_cast<std::uint8_t>(i));
        ReplyFrame bad = good;
        ApplyCorruption(f, bad.data());
        int changed = 0;
        for (std::size_t k = 0; k < kReplySize; ++k) {
            changed += bad[k] != good[k] ? 1 : 0;
        }
        EXPECT_EQ(changed, 1) << i;
        // Still a reply by its start and end bytes, but one whose sum is wrong.
        EXPECT_EQ(bad[0], kReplyStart);
        EXPECT_EQ(bad[kReplySize - 2], kReplyEnd);
        EXPECT_NE(bad[kReplySize - 1], FrameChecksum(bad.data(), kReplySize - 1)) << i;
    }
}

}  // namespace
