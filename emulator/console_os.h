// What the console's text rules (console.cpp) need of the platform: output that
// never waits for the terminal, and putting key input back. One implementation per
// platform (console_posix.cpp, console_win32.cpp).
#pragma once

#include <cstddef>

// Makes standard output one that never waits for the terminal, as far as the
// platform allows; ConsoleOutClose puts it back. Before ConsoleOutOpen, output goes
// to standard output as it is.
void ConsoleOutOpen();
void ConsoleOutClose();

constexpr long kOutWouldBlock = -1;  // the terminal takes nothing now
constexpr long kOutGone = -2;        // nothing will ever take it (closed, reader gone)

// Writes what the terminal takes of p[0..n) now: the count taken (0..n), or one of
// the two codes above. Where a write to the terminal can only wait (a Windows
// console), "taken" means handed to a writer of the console's own, which holds it
// until the terminal takes it.
long ConsoleOutWrite(const char* p, std::size_t n);
// Bytes taken by ConsoleOutWrite that have not reached the terminal yet (0 where
// a write is done when it returns).
std::size_t ConsoleOutHeld();
// Waits up to ms milliseconds until the terminal takes text again.
void ConsoleOutWait(int ms);

// Puts key input back as ConsoleStart found it.
void ConsoleRestoreInput();
