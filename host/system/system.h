// What zolhost needs from the system for itself: stop requests (Ctrl-C,
// termination), terminal checks, error texts, and on POSIX waiting on a
// descriptor and making ptys. One implementation per platform: system_posix.cpp,
// system_win32.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "host/base/outcome.h"

namespace zolhost {

// A second descriptor a wait ends for too (POSIX): a terminal zolhost drains
// beside the link. The wait sets `ready` when it has something, and gives Timeout
// then unless the endpoint has something to say as well.
struct Beside {
    int fd = -1;
    bool ready = false;
};

// Ctrl-C and termination requests set the stop flag instead of ending the
// program, so every exit path closes the link and removes what it made.
void InstallStopHandlers();
// A standard stream the program was started without (`<&-`) is put on the null
// device, so that no descriptor zolhost makes later is taken for it (standard
// input closed reads as its end). Called first thing.
void HoldStandardStreams();
// The run is over and its output written: a close of the console window that
// waits for that (Windows) may end the process now.
void RunOver();
bool StopRequested();
// Sets the stop flag from the program itself (serve: a device failed, or standard
// input closed): every wait that a stop request ends, in every thread, ends.
void RequestStop();

// Sleeps for ms milliseconds; false at once when a stop is requested.
bool SleepUnlessStopped(int ms);

bool IsTerminal(std::FILE* f);

// The directory zolhost's own program file is in; empty when it cannot be told.
std::string OwnDirectory();

// A new directory of our own under the system's temp dir, named prefix and a
// random suffix; empty with *error when none could be made.
std::string MakeTempDir(const std::string& prefix, std::string* error);

// The system's text for an error code (errno, or a Windows code).
std::string SystemErrorText(std::uint32_t code);

#if defined(_WIN32)
// An event handle signalled once a stop has been requested, for waits on handles.
std::intptr_t StopWakeHandle();
#else
// Readable once a stop has been requested; for waits of the POSIX-only parts.
int StopWakeFd();
// Waits up to timeoutMs (0: only looks; < 0: no limit) until fd polls for events
// (POLLIN, POLLOUT), or for a stop request. Bytes still waiting are Done before a
// hang-up counts.
Io WaitFd(int fd, short events, int timeoutMs, Beside* beside = nullptr);
// A new pty: its master end (close-on-exec), and the path of its other end in
// *slavePath. -1 with errno set when none could be made.
int OpenPty(std::string* slavePath);
#endif

}  // namespace zolhost
