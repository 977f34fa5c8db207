// What a transfer or a wait did, and how zolhost ends: the conventions every part
// of zolhost shares. A transfer's outcome is the serial line API's own (ComIo), so
// a serial port, a pty, a socket and the link speak one language.
#pragma once

#include "serial/com_line.h"

namespace zolhost {

using Io = ComIo;

// Exit statuses.
inline constexpr int kExitGood = 0;
inline constexpr int kExitCheckFailed = 1;  // a check failed, or the device did not come up
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLink = 3;       // an end of the link could not be made or opened

}  // namespace zolhost
