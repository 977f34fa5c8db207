// Console output, the same on every platform. Text waits in a buffer and goes out
// in one write once the oldest of it has waited kMaxLag (or the buffer is full),
// so the console costs the link a write every few milliseconds rather than two
// per frame, none of them between a reply and the next request, and the status
// line is never far behind.
#include "emulator/console.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr auto kMaxLag = std::chrono::milliseconds(10);

char gText[65536];
std::size_t gLength = 0;
std::chrono::steady_clock::time_point gOldest{};

// Appends the formatted text; false when it does not fit behind what waits.
bool Append(const char* szFormat, std::va_list args) {
    const std::size_t room = sizeof gText - gLength;
    const int n = std::vsnprintf(gText + gLength, room, szFormat, args);
    if (n < 0 || static_cast<std::size_t>(n) >= room) {
        return false;
    }
    if (gLength == 0) {
        gOldest = std::chrono::steady_clock::now();
    }
    gLength += static_cast<std::size_t>(n);
    return true;
}

void FlushIfDue() {
    if (gLength > 0 && std::chrono::steady_clock::now() - gOldest >= kMaxLag) {
        ConsoleFlush();
    }
}

}  // namespace

void ConsolePrint(const char* szFormat, ...) {
    // Each attempt at formatting uses up its own copy of the arguments.
    std::va_list args;
    va_start(args, szFormat);
    std::va_list again;
    va_copy(again, args);
    std::va_list last;
    va_copy(last, args);
    if (!Append(szFormat, args)) {
        ConsoleFlush();
        if (!Append(szFormat, again)) {
            std::vprintf(szFormat, last);  // longer than the buffer: straight out
            std::fflush(stdout);
        }
    }
    va_end(last);
    va_end(again);
    va_end(args);
    FlushIfDue();
}

void ConsoleFlush() {
    if (gLength == 0) {
        return;
    }
    std::fwrite(gText, 1, gLength, stdout);
    std::fflush(stdout);  // the status text ends in "\r": nothing else would push it out
    gLength = 0;
}

void ConsoleIdle() {
    FlushIfDue();
    ConsoleYield();
}
