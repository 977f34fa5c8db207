// Console output, the same on every platform: texts wait in a buffer of their own
// and go out through writes that never wait for the terminal (console_os.h), so a
// terminal that stops taking text cannot hold up the link or the key test.
#include "emulator/console.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "emulator/console_os.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kMaxLag = std::chrono::milliseconds(1);     // oldest text waiting while the loop is busy
constexpr auto kRetry = std::chrono::milliseconds(1);      // after the terminal took less than offered
constexpr std::size_t kHeld = 16384;                       // text waiting beyond this drops some
constexpr int kFinishMs = 100;                             // what the end of the run gives waiting text

std::string gText;         // text not yet taken by the terminal, from gSent on
std::size_t gSent = 0;     // bytes at the front already taken
std::size_t gComplete = 0; // end of the last complete text
Clock::time_point gOldest{};
Clock::time_point gRetryAt{};
bool gGone = false;  // output goes nowhere: text is dropped as printed

bool EndsText(char c) {
    return c == '\r' || c == '\n';
}

// The start of the complete text that begins at or after `at`.
std::size_t NextTextStart(std::size_t at) {
    const std::size_t end = gText.find_first_of("\r\n", at);
    return end == std::string::npos ? gText.size() : end + 1;
}

// Keeps the waiting text within kHeld by dropping whole texts after the oldest
// waiting one, oldest first, down to half the bound, never the latest.
void DropFromTheMiddle() {
    if (gComplete - gSent <= kHeld) {
        return;
    }
    const std::size_t keepFrom = NextTextStart(gSent);  // the oldest waiting text stays
    std::size_t latest = gText.find_last_of("\r\n", gComplete - 2);
    latest = latest == std::string::npos ? 0 : latest + 1;
    if (latest <= keepFrom) {
        return;
    }
    const std::size_t excess = gComplete - gSent - kHeld / 2;
    std::size_t cut = keepFrom + excess >= latest ? latest : NextTextStart(keepFrom + excess - 1);
    if (cut > latest) {
        cut = latest;
    }
    gText.erase(keepFrom, cut - keepFrom);
    gComplete -= cut - keepFrom;
}

// Offers the terminal every complete text waiting; `force` skips the pause that
// follows a terminal that took less than offered.
void WriteWaiting(bool force) {
    if (gComplete == gSent) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (!force && now < gRetryAt) {
        return;
    }
    const std::size_t offered = gComplete - gSent;
    const long n = ConsoleOutWrite(gText.data() + gSent, offered);
    if (n == kOutGone) {
        gGone = true;
        gText.clear();
        gSent = gComplete = 0;
        return;
    }
    const std::size_t taken = n > 0 ? static_cast<std::size_t>(n) : 0;
    gSent += taken;
    if (taken < offered) {
        gRetryAt = now + kRetry;
    }
    if (gSent == gText.size()) {
        gText.clear();
        gSent = gComplete = 0;
    } else if (gSent >= 4096 && gSent >= gText.size() / 2) {
        gText.erase(0, gSent);
        gComplete -= gSent;
        gSent = 0;
    }
    gOldest = now;
}

}  // namespace

void ConsolePrint(const char* szFormat, ...) {
    if (gGone) {
        return;
    }
    std::va_list args;
    va_start(args, szFormat);
    std::va_list again;  // a second formatting needs a copy of its own
    va_copy(again, args);
    char szShort[256];
    const int n = std::vsnprintf(szShort, sizeof szShort, szFormat, args);
    if (n > 0) {
        if (gComplete == gText.size() && gComplete == gSent) {
            gOldest = Clock::now();  // the first text waiting
        }
        if (static_cast<std::size_t>(n) < sizeof szShort) {
            gText.append(szShort, static_cast<std::size_t>(n));
        } else {
            const std::size_t at = gText.size();
            gText.resize(at + static_cast<std::size_t>(n) + 1);
            std::vsnprintf(&gText[at], static_cast<std::size_t>(n) + 1, szFormat, again);
            gText.pop_back();
        }
    }
    va_end(again);
    va_end(args);
    if (gText.empty() || !EndsText(gText.back())) {
        return;  // a text is written whole or not at all
    }
    gComplete = gText.size();
    DropFromTheMiddle();
    if (Clock::now() - gOldest >= kMaxLag) {
        WriteWaiting(false);
    }
}

void ConsoleFlush() {
    gComplete = gText.size();  // on request, an unfinished text goes out too
    WriteWaiting(true);
}

void ConsoleIdle() {
    WriteWaiting(false);
    ConsoleYield();
}

std::size_t ConsolePending() {
    return gText.size() - gSent + ConsoleOutHeld();
}

void ConsoleStop() {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(kFinishMs);
    for (;;) {
        ConsoleFlush();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (ConsolePending() == 0 || left <= 0) {
            break;
        }
        ConsoleOutWait(static_cast<int>(left));
    }
    gText.clear();  // what the terminal did not take in time is dropped
    gSent = gComplete = 0;
    ConsoleOutClose();
    ConsoleRestoreInput();
}
