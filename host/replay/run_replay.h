// zolhost replay: a capture of `zolhost link --pcap` played again.
//  - Against a device (the device end of the global options): the host program's
//    side of the capture is sent to it, and what the device sends is held against
//    what the device sent then (before any fault of the link), packet by packet.
//  - As the device (--as-device HOSTEND): the device's side of the capture answers
//    a host program at HOSTEND, through a link with the capture's own pace, faults
//    and seed, so that a failing session happens again bit for bit.
#pragma once

#include <string>

#include "host/link/link.h"

namespace zolhost {

struct ReplayConfig {
    std::string capture;
    bool fast = false;              // each packet once the one before is answered, not at its recorded time
    std::string asDevice;           // HOSTEND; empty: replay against the device end of `link`
    bool stopAtDeviation = false;   // as the device: end at the first request unlike the recording
    LinkConfig link;                // the device end, pacing and trace (against a device); the trace (as the device)
};

// Against a device: kExitGood when everything the device sent matches,
// kExitCheckFailed otherwise. As the device: runs until Ctrl-C or SIGTERM (or, with
// stopAtDeviation, the first deviation); kExitGood when the host program kept to
// the recording. kExitUsage for a capture that cannot be replayed.
int RunReplay(const ReplayConfig& c);

}  // namespace zolhost
