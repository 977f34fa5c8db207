// zolhost run: an unmodified program started with serial ports of its choosing
// (/dev/ttyUSB0 on Linux, COM2 on Windows) served by zolhost, each in front of a
// device end (the built-in device, a zolemul started here, a network end or a real
// port), with no root and nothing installed, all the links on one thread
// (run_links.*). POSIX (run_program_posix.cpp): each path is a pty host end, and a
// small preloaded library (tty_shim.c) opens the pty when the program opens the
// path and answers what a pty cannot (the modem lines). Windows
// (run_program_win32.cpp): each port is an RFC 2217 server on loopback, and a DLL
// loaded into the program before its code runs connects to it when the program
// opens the port.
#pragma once

#include <string>
#include <vector>

#include "host/link/link.h"

namespace zolhost {

// One port served to the program: its link, whose device end is as configured and
// whose host end (hostPath) zolhost makes (a pty in a temp dir of its own, or a
// server on loopback).
struct RunTty {
    std::string path;  // what the program opens: a path, or COMn on Windows
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
