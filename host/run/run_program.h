// zolhost run: an unmodified program started with serial paths of its choosing
// (/dev/ttyUSB0) served by zolhost, each in front of a device end (the built-in
// device, a zolemul started here, a network end or a real port), with no root and
// nothing installed. Each path is a pty host end of a link of its own, all the
// links on one thread; the program is started with a small preloaded library
// (tty_shim.c) that opens the pty when the program opens the path and answers
// what a pty cannot (the modem lines). POSIX: run_program_posix.cpp; Windows has
// no way in yet (run_program_win32.cpp says so).
#pragma once

#include <string>
#include <vector>

#include "host/link/link.h"

namespace zolhost {

// One path served to the program: its link, whose device end is as configured and
// whose host end (hostPath) zolhost makes in a temp dir of its own.
struct RunTty {
    std::string path;  // what the program opens
    LinkConfig link;
};

struct RunConfig {
    std::vector<RunTty> ttys;
    std::vector<std::string> program;  // the program and its arguments
};

// The preloaded library's file name, found beside zolhost or in its installed
// library dir.
inline constexpr char kTtyShimName[] = "libzolhost-tty.so";

// Starts the program, serves its paths until it ends, prints each link's summary
// on standard error and returns the program's exit status (128 + N for a signal
// N). kExitNoLink when a path cannot be served, 127 when the program cannot be run.
int RunProgram(const RunConfig& c);

}  // namespace zolhost
