// The console's text: whatever the size of a message, it comes out whole and in
// order.
#include <gtest/gtest.h>

#include <string>

#include "emulator/console.h"

namespace {

TEST(ConsoleText, MessageLongerThanTheBufferComesOutWholeAndInOrder) {
    testing::internal::CaptureStdout();
    ConsolePrint("Frame %u received", 7u);
    const std::string big(70000, 'x');
    ConsolePrint("%s|%d", big.c_str(), 42);
    ConsolePrint("%s", "end");
    ConsoleFlush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Frame 7 received" + big + "|42end");
}

}  // namespace
