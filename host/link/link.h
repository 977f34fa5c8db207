// zolhost link: a serial port for the user's own host program, in front of the
// device. The device end is what the global options name (DIR/COM2 of a virtual
// link, for zolemul started in DIR, or a port); the host end is a second virtual
// link whose device end HOSTPATH names. Every byte is forwarded both ways, paced
// at a line rate when asked, traced frame by frame, and replies may meet the
// faults of a FaultPlan. Either end may be closed and opened again.
#pragma once

#include "host/cli/options.h"

namespace zolhost {

// Runs until Ctrl-C or SIGTERM, then prints a summary and returns kExitGood.
// kExitNoLink when an end cannot be made or opened (HOSTPATH exists already),
// kExitCheckFailed when nothing opens the device end within --wait.
int RunLink(const Options& o);

}  // namespace zolhost
