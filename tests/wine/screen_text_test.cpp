// How the end-to-end tests read a console that Wine's console host redraws: the
// screen that its output leaves must match the screen of the program's own text.
#include <gtest/gtest.h>

#include "tests/support/pty_link.h"

namespace {

using testsupport::ScreenText;

// Wine's console host on a terminal, as recorded: each cell drawn with the cursor
// hidden, a blank cell on a fresh line as "erase to the end, one cell right", and
// "\r\n" for a new line.
std::string AsWineDraws(const std::string& text, bool freshLine) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += "\r\n";
            continue;
        }
        if (c == '\r') {
            out += "\r";
            continue;
        }
        out += "\x1b[?25l";
        out += c == ' ' && freshLine ? std::string("\x1b[K\x1b[1C") : std::string(1, c);
        out += "\x1b[?25h";
    }
    return out;
}

TEST(ScreenText, PlainTextLinesAndCarriageReturns) {
    EXPECT_EQ(ScreenText(""), "");
    EXPECT_EQ(ScreenText("ab\ncd"), "ab\ncd");
    EXPECT_EQ(ScreenText("ab\n"), "ab\n");  // the cursor's line is kept, empty
    EXPECT_EQ(ScreenText("abcd\rXY"), "XYcd");
    EXPECT_EQ(ScreenText("ab\r\r\ncd"), "ab\ncd");
}

TEST(ScreenText, CursorMovesAndErasing) {
    EXPECT_EQ(ScreenText("ab\x1b[3Cc"), "ab   c");
    EXPECT_EQ(ScreenText("abcdef\x1b[3D\x1b[K"), "abc");
    EXPECT_EQ(ScreenText("abcdef\r\x1b[2K"), "");
    EXPECT_EQ(ScreenText("abc\ndef\x1b[1;2HZ"), "aZc\ndef");
    EXPECT_EQ(ScreenText("abc\x1b[2J"), "");
    EXPECT_EQ(ScreenText("\x1b]0;title\x07ok\x1b[0m"), "ok");
    EXPECT_EQ(ScreenText("cut\x1b["), "cut");  // a sequence not complete yet shows nothing
}

TEST(ScreenText, WineConsoleOutputShowsWhatTheProgramPrinted) {
    // Recorded from zolemul.exe under Wine: the start-up line's first word.
    EXPECT_EQ(ScreenText("\x1b[?25lZ\x1b[?25h\x1b[?25lo\x1b[?25h\x1b[?25ll\x1b[?25h"
                         "\x1b[?25l\x1b[K\x1b[1C\x1b[?25h\x1b[?25lE\x1b[?25h"),
              "Zol E");

    const std::string started = "Zol Emul Started in COM2\n";
    const std::string frame0 = "Frame 0 receivedEA:FF, TORA:00\r";
    const std::string frame1 = "Frame 1 receivedEA:5A, TORA:A5\r";
    const std::string wine = AsWineDraws(started, true) + AsWineDraws(frame0, true) + AsWineDraws(frame1, false);
    EXPECT_EQ(ScreenText(wine), ScreenText(started + frame0 + frame1));
    EXPECT_EQ(ScreenText(wine), "Zol Emul Started in COM2\nFrame 1 receivedEA:5A, TORA:A5");
}

TEST(ScreenText, AStatusLineRewrittenInPlaceDiffersFromNewLines) {
    EXPECT_NE(ScreenText("Frame 0\rFrame 1\r"), ScreenText("Frame 0\nFrame 1\n"));
    EXPECT_NE(ScreenText("Started\nFrame 0\r"), ScreenText("Started Frame 0\r"));
    // A key echoed after the start-up line shows.
    EXPECT_NE(ScreenText("Started\nx"), ScreenText("Started\n"));
}

}  // namespace
