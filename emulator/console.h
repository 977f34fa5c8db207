// The emulator's console: messages shown in order and promptly, a test for a
// pending key and a read of one key without echo.
#pragma once

// Prepares key input (no echo, no line buffering) and makes Ctrl-C and termination
// requests end the run as a key does. The console is put back by ConsoleStop and on
// every way out of the program.
void ConsoleStart();
void ConsoleStop();

// Prints one message. It reaches the console in order, together with what else
// was printed meanwhile, some 10 ms after the oldest text still waiting (seen in
// ConsolePrint and ConsoleIdle), or at ConsoleFlush.
void ConsolePrint(const char* szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Writes out every message printed so far.
void ConsoleFlush();

// For a loop pass that found nothing to do: text that is due goes out, and the
// core is offered to other threads for a moment, without sleeping.
void ConsoleIdle();
// Offers the core to other ready threads; returns at once when there are none.
void ConsoleYield();

// Nonzero when a key (or a request to stop) is pending.
int ConsoleKeyHit();
// Takes the pending key without echo; waits for one when none is pending.
int ConsoleGetKey();
