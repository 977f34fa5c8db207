// What zolhost needs from the platform beside the serial OS layer: stop requests
// (Ctrl-C, termination), terminal checks, error texts and waiting for input on a
// link. One implementation per platform: platform_posix.cpp, platform_win32.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "serial/com_os.h"

namespace zolhost {

// Ctrl-C and termination requests set the stop flag instead of ending the
// program, so every exit path closes the link and removes what it made.
void InstallStopHandlers();
bool StopRequested();

// Sleeps for ms milliseconds; false at once when a stop is requested.
bool SleepUnlessStopped(int ms);

bool IsTerminal(std::FILE* f);

// The directory zolhost's own program file is in; empty when it cannot be told.
std::string OwnDirectory();

// The system's text for an error code of OsLastError().
std::string SystemErrorText(std::uint32_t code);
// The error is "try again later" (the link's queue is full).
bool IsWouldBlock(std::uint32_t code);

enum class WaitResult { Readable, Timeout, HungUp, Stopped, Failed };
// Waits up to timeoutMs (at least 0) for input on h, or for a stop request. With a
// side descriptor (POSIX; a terminal zolhost drains beside the link), input there
// ends the wait too: *sideReady is set, and the result is Timeout unless h has
// something to say as well.
WaitResult WaitReadable(OsHandle h, int timeoutMs, int sideFd = -1, bool* sideReady = nullptr);
// The read error means the other end is gone (a pty whose device end was closed).
bool IsHangUpError(std::uint32_t code);

#if !defined(_WIN32)
// Readable once a stop has been requested; for waits of the POSIX-only parts.
int StopWakeFd();
// A new pty: its master end (close-on-exec), and the path of its other end in
// *slavePath. -1 with errno set when none could be made.
int OpenPty(std::string* slavePath);
#endif

}  // namespace zolhost
