// The console's text: whatever the size of a message and however the terminal
// reads, it comes out whole and in order, within its bound; standard output's
// shared description is left as it was.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>

#include "emulator/console.h"

namespace {

std::string Shown(const std::string& s) {
    std::string out;
    for (const char c : s) {
        const char* named = c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\0' ? "\\0" : nullptr;
        out += named != nullptr ? std::string(named) : std::string(1, c);
    }
    return out;
}

// The terminal got exactly `want`; else where the two part.
testing::AssertionResult SameText(const std::string& got, const std::string& want) {
    const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    if (at.first == got.end() && at.second == want.end()) {
        return testing::AssertionSuccess();
    }
    const std::size_t i = static_cast<std::size_t>(at.first - got.begin());
    return testing::AssertionFailure() << "the terminal got " << got.size() << " bytes where " << want.size()
                                       << " were due; from byte " << i << " it got \""
                                       << Shown(got.substr(i, 48)) << "\" where \"" << Shown(want.substr(i, 48))
                                       << "\" was due";
}

TEST(ConsoleText, MessageLongerThanTheBufferComesOutWholeAndInOrder) {
    testing::internal::CaptureStdout();
    ConsolePrint("Frame %u received", 7u);
    const std::string big(70000, 'x');
    ConsolePrint("%s|%d", big.c_str(), 42);
    // 255 bytes are the most a first formatting holds; 256 take the second.
    const std::string fits(255, 'f'), justPast(256, 'p');
    ConsolePrint("%s", fits.c_str());
    ConsolePrint("%s", justPast.c_str());
    ConsolePrint("%s", "end");
    ConsoleFlush();
    EXPECT_TRUE(
        SameText(testing::internal::GetCapturedStdout(), "Frame 7 received" + big + "|42" + fits + justPast + "end"));
}

}  // namespace

#if !defined(_WIN32)
namespace {

// Standard output on a pipe of one 4 KB page, read as a terminal reads, when the
// test says: a page holds what the console wrote until all of it is read. `full`:
// the page is taken by the test's own filler first, so the console can write
// nothing until the terminal reads.
class PipeTerminal {
public:
    explicit PipeTerminal(bool full) {
        if (pipe(p_) != 0) {
            ADD_FAILURE() << "no pipe";
            return;
        }
        fcntl(p_[1], F_SETPIPE_SZ, 4096);
        capacity_ = fcntl(p_[1], F_GETPIPE_SZ);
        fcntl(p_[0], F_SETFL, O_NONBLOCK);  // the read end is the test's alone
        if (full) {
            const std::string filler(static_cast<std::size_t>(capacity_), '#');
            filler_ = static_cast<std::size_t>(write(p_[1], filler.data(), filler.size()));
        }
        sharedFlags_ = fcntl(p_[1], F_GETFL);
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        dup2(p_[1], STDOUT_FILENO);
        ConsoleStart();
    }
    ~PipeTerminal() { Close(); }
    int Capacity() const { return capacity_; }
    // The flags of the description the program inherited, before it started.
    int SharedFlags() const { return sharedFlags_; }

    // Everything the pipe holds now, the filler left out. Standard output is the
    // pipe until Close: check nothing before.
    std::string Read() {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = read(p_[0], buf, sizeof buf)) > 0;) {
            const std::size_t skip = std::min(filler_, static_cast<std::size_t>(n));
            filler_ -= skip;
            out.append(buf + skip, static_cast<std::size_t>(n) - skip);
        }
        return out;
    }
    // Reads, and lets the console write, until no text waits; then stops the console
    // and gives standard output back (test failures are printed there). Returns
    // everything read since the last Read.
    std::string Close() {
        if (saved_ < 0) {
            return {};
        }
        std::string out = Read();
        for (int i = 0; i < 1000 && ConsolePending() > 0; ++i) {
            ConsoleFlush();
            out += Read();
        }
        ConsoleStop();
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        close(p_[0]);
        close(p_[1]);
        return out;
    }

private:
    int p_[2] = {-1, -1};
    int saved_ = -1;
    int capacity_ = 0;
    int sharedFlags_ = -1;
    std::size_t filler_ = 0;
};

constexpr char kStartLine[] = "Zol Emul Started in COM2\n";

std::string PrintStartLine() {
    ConsolePrint("Zol Emul Started in COM%d\n", 2);
    return kStartLine;
}

// Prints frame n's status text as the emulator's loop does; returns it.
std::string PrintFrame(unsigned n) {
    const unsigned tora = n & 0xFF;
    ConsolePrint("Frame %u received", n);
    ConsolePrint("EA:%2.2X, TORA:%2.2X\r", tora ^ 0xFF, tora);
    char text[64];
    std::snprintf(text, sizeof text, "Frame %u receivedEA:%2.2X, TORA:%2.2X\r", n, tora ^ 0xFF, tora);
    return text;
}

// Standard output's description, shared with the shell and whoever else holds it,
// keeps its flags: a pipe stays blocking for the others while the console's own
// writes never wait.
TEST(ConsoleText, PipeOnStandardOutputKeepsItsSharedFlags) {
    PipeTerminal t(true);
    PrintStartLine();
    const int running = fcntl(STDOUT_FILENO, F_GETFL);
    EXPECT_EQ(t.Close(), kStartLine);
    EXPECT_EQ(t.SharedFlags() & O_NONBLOCK, 0);
    EXPECT_EQ(running, t.SharedFlags()) << "the inherited pipe's flags changed";
}

// A terminal that takes nothing: the text waits, the middle is dropped whole past
// the bound, and what comes out once it reads again starts with the start-up line,
// ends with the latest frame's text, and is whole texts in order.
TEST(ConsoleText, TerminalThatTakesNothingLosesWholeTextsFromTheMiddleOnly) {
    PipeTerminal t(true);
    PrintStartLine();
    const unsigned kFrames = 5000;
    for (unsigned n = 0; n < kFrames; ++n) {
        PrintFrame(n);
    }
    const std::size_t waiting = ConsolePending();
    const std::string out = t.Close();
    EXPECT_LE(waiting, 16384u) << "the text waiting is not bounded at 16 KB";

    ASSERT_EQ(out.rfind(kStartLine, 0), 0u);
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

// The bound at its edge, with a latest text of more than half of it (formatted
// apart from the short ones): 16 KB of texts wait whole; one byte more and the
// middle is dropped, never the start-up line nor that latest text.
TEST(ConsoleText, SixteenKilobytesWaitWholeAndOneByteMoreDropsTheMiddleNotTheLatest) {
    for (const std::size_t total : {std::size_t{16384}, std::size_t{16385}}) {
        PipeTerminal t(true);
        const std::string start = PrintStartLine();
        std::string frames;
        for (unsigned n = 0; n < 100; ++n) {
            frames += PrintFrame(n);
        }
        const std::string latest = std::string(total - start.size() - frames.size() - 1, 'x') + "\r";
        ConsolePrint("%s", latest.c_str());
        const std::string want = total == 16384 ? start + frames + latest : start + latest;
        EXPECT_TRUE(SameText(t.Close(), want)) << total << " bytes waited";
    }
}

// A terminal that reads slowly, a pipe-full at a time, while frames keep coming:
// the console lets go of what it wrote as it goes, and the terminal gets every text
// once, whole and in order, from the console's writes on request and from the
// loop's idle passes a moment after (the console offers text again no sooner than
// 1 ms after the terminal took less than offered).
TEST(ConsoleText, SlowTerminalGetsEveryTextOnceWholeAndInOrder) {
    PipeTerminal t(false);
    std::string want = PrintStartLine();
    std::string out;
    unsigned n = 0;
    for (int step = 0; step < 8; ++step) {
        while (ConsolePending() < 6000 && n < 100000) {  // more than a pipe-full, less than two
            want += PrintFrame(n++);
        }
        out += t.Read();
        ConsoleFlush();  // a pipe-full goes, the rest waits
        out += t.Read();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ConsoleIdle();  // the rest goes
    }
    out += t.Close();
    EXPECT_EQ(t.Capacity(), 4096) << "a pipe-full is not 4 KB: the console may never have moved its text";
    EXPECT_TRUE(SameText(out, want));
}

}  // namespace
#endif
