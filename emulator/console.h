// The emulator's console: messages shown as soon as they are printed, a test for a
// pending key and a read of one key without echo.
#pragma once

// Prepares key input (no echo, no line buffering) and makes Ctrl-C and termination
// requests end the run as a key does. The console is put back by ConsoleStop and on
// every way out of the program.
void ConsoleStart();
void ConsoleStop();

// Prints and flushes one message.
void ConsolePrint(const char* szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Nonzero when a key (or a request to stop) is pending.
int ConsoleKeyHit();
// Takes the pending key without echo; waits for one when none is pending.
int ConsoleGetKey();
