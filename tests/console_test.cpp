// The console's text: whatever the size of a message, it comes out whole and in
// order.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <regex>
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

#if !defined(_WIN32)
namespace {

// A terminal that takes nothing: the text waits, the middle is dropped whole past
// the bound, and what comes out once it reads again starts with the start-up line,
// ends with the latest frame's text, and is whole texts in order.
TEST(ConsoleText, TerminalThatTakesNothingLosesWholeTextsFromTheMiddleOnly) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    fcntl(p[1], F_SETPIPE_SZ, 4096);
    const int saved = dup(STDOUT_FILENO);
    dup2(p[1], STDOUT_FILENO);
    ConsoleStart();
    ConsolePrint("Zol Emul Started in COM%d\n", 2);
    ConsoleFlush();
    const unsigned kFrames = 5000;
    for (unsigned n = 0; n < kFrames; ++n) {
        ConsolePrint("Frame %u received", n);
        ConsolePrint("EA:%2.2X, TORA:%2.2X\r", (n & 0xFF) ^ 0xFF, n & 0xFF);
    }
    EXPECT_LT(ConsolePending(), 20000u) << "the text waiting is not bounded";
    std::string out;
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    char buf[4096];
    for (int quiet = 0; quiet < 20;) {
        ConsoleFlush();
        const ssize_t n = read(p[0], buf, sizeof buf);
        quiet = n > 0 ? 0 : quiet + 1;
        out.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ConsoleStop();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(p[0]);
    close(p[1]);

    ASSERT_EQ(out.rfind("Zol Emul Started in COM2\n", 0), 0u);
    static const std::regex kText("Frame ([0-9]+) receivedEA:([0-9A-F]{2}), TORA:([0-9A-F]{2})\r");
    long last = -1;
    std::size_t texts = 0;
    for (auto it = std::sregex_iterator(out.begin() + 25, out.end(), kText); it != std::sregex_iterator(); ++it) {
        const long n = std::stol((*it)[1]);
        EXPECT_GT(n, last);
        EXPECT_EQ(std::stoul((*it)[3], nullptr, 16), static_cast<unsigned long>(n & 0xFF));
        last = n;
        texts += static_cast<std::size_t>(it->length(0));
    }
    EXPECT_EQ(texts, out.size() - 25) << "pieces of texts reached the terminal";
    EXPECT_EQ(last, kFrames - 1) << "the latest frame's text is missing";
    EXPECT_LT(out.size(), 5000u * 40) << "nothing was dropped: the terminal was never full";
}

}  // namespace
#endif
