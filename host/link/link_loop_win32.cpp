// The link's wait on Windows: the ends are looked at every millisecond at most,
// or sooner when something falls due.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>

#include "host/base/system.h"
#include "host/link/link.h"

namespace zolhost {

void WaitForLink(Link& link, std::optional<Clock::time_point> until) {
    std::optional<Clock::time_point> next = link.NextWake();
    if (until) {
        next = next ? std::min(*next, *until) : *until;
    }
    const auto slice = std::chrono::milliseconds(1);
    const auto left = next ? std::min<Clock::duration>(*next - Clock::now(), slice) : slice;
    if (left > Clock::duration::zero()) {
        SleepUnlessStopped(1);
    }
    const auto now = Clock::now();
    for (const Side s : {Side::Host, Side::Device}) {
        EndSeen seen;
        seen.readable = link.WantsRead(s);
        seen.writable = link.WantsWrite(s);
        seen.comeBack = link.End(s).state == LinkEnd::State::Unopened;
        link.Handle(s, seen, now);
    }
}

}  // namespace zolhost
