// The emulator's console: messages shown in order and promptly, a test for a
// pending key and a read of one key without echo. Nothing the terminal does (stop
// taking text, a paused window) holds the caller up.
#pragma once

#include <cstddef>

// Prepares key input (no echo, no line buffering) and output that never waits for
// the terminal, and makes Ctrl-C and termination requests end the run as a key
// does. The console is put back by ConsoleStop and on every way out of the program.
void ConsoleStart();
// Gives text still waiting a short while to go out (then drops it) and puts the
// console back as it was.
void ConsoleStop();

// Prints one message. A message ending in "\r" or "\n" completes a text (the
// start-up line, or one frame's status text made of two messages); complete texts
// go out in order as soon as the loop has a moment (ConsoleIdle), and at least
// every millisecond while it has none. While the terminal takes nothing they wait;
// past a bound, whole texts from the middle are dropped, never the oldest waiting
// one (the start-up line, or one partly shown) nor the latest.
void ConsolePrint(const char* szFormat, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Writes out what the terminal takes now, without waiting.
void ConsoleFlush();

// For a loop pass that found nothing to do: waiting text goes out, and the core is
// offered to other threads for a moment, without sleeping.
void ConsoleIdle();
// Offers the core to other ready threads; returns at once when there are none.
void ConsoleYield();

// Nonzero when a key (or a request to stop) is pending.
int ConsoleKeyHit();
// Takes the pending key without echo; waits for one when none is pending.
int ConsoleGetKey();

// Bytes of text waiting for the terminal.
std::size_t ConsolePending();
