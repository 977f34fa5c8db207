// zolhost serve: N devices at once, for test harnesses. Each device is built into
// zolhost (all of them on one thread) or a zolemul started in a directory of its
// own (a thread each: every zolemul is a process of its own anyway), behind a link
// of its own, with one host end: a pty, or an rfc2217:// or tcp:// listener on a
// free loopback port. Once every device has its port open, one JSON document on
// one line of standard output says where each is; at the end, a second one holds
// each device's summary. On Windows: built-in devices on network ends only.
#pragma once

#include <string>
#include <vector>

#include "host/link/link.h"

namespace zolhost {

struct ServedDevice {
    LinkConfig link;  // its zolemul, pacing, faults, seed, trace, capture (hostPath: see host)
    // Its host end: "pty" (a pty in the pty dir), "rfc2217" or "tcp" (a listener on
    // a free loopback port), or a path or URL of the user's own.
    std::string host = "rfc2217";
};

struct ServeConfig {
    std::vector<ServedDevice> devices;
    std::string ptyDir;        // where "pty" host ends go; empty: a temp dir of serve's own
    std::string manifest;      // the devices' document also here, written whole; empty: none
    bool exitWithStdin = false;  // standard input's end stops it, as SIGTERM does
    // The control API's HOST:PORT (empty: none), and the token it requires off
    // loopback (empty: one is made).
    std::string control = "127.0.0.1:0";
    std::string controlToken;
};

// Serves until Ctrl-C, SIGTERM (Windows: Ctrl-C, Ctrl-Break, the console's close)
// or standard input's end, when asked, and returns kExitGood; kExitUsage when this
// system cannot serve what was asked (Windows: a zolemul or a pty end);
// kExitCheckFailed when zolemul cannot be found, a device does not come up within
// --wait, or a zolemul ends on its own; kExitNoLink when a host end cannot be
// made. Every device is ended and every file it made removed either way.
int RunServe(const ServeConfig& c);

}  // namespace zolhost
