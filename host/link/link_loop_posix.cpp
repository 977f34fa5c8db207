// The link's wait on POSIX systems: one ppoll over the ends' descriptors (data,
// a closed end's come-back watch, a busy listener) and the stop request, until the
// next thing falls due.
#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "host/link/link.h"
#include "host/system/system.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;

struct Slots {
    int data = -1;
    int comeBack = -1;
    int busy = -1;
};

}  // namespace

bool WaitForLink(Link& link, std::optional<Clock::time_point> until, std::string* error) {
    // Byte times are shorter than the default timer slack (50 us): wake on time.
    // The slack is a thread's own: each link's thread sets it (serve runs one a device).
    thread_local const bool slack = prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0) == 0;
    (void)slack;
    pollfd fds[7];
    nfds_t n = 0;
    fds[n++] = {StopWakeFd(), POLLIN, 0};
    auto add = [&](int fd, short events) {
        if (fd < 0 || events == 0) {
            return -1;
        }
        fds[n] = {fd, events, 0};
        return static_cast<int>(n++);
    };
    Slots slots[2];
    for (const Side s : {Side::Host, Side::Device}) {
        const LinkEnd& e = link.End(s);
        Slots& at = slots[s == Side::Host ? 0 : 1];
        at.data = add(e.ep->PollFd(), static_cast<short>((link.WantsRead(s) ? POLLIN : 0) |
                                                         (link.WantsWrite(s) ? POLLOUT : 0)));
        at.comeBack = link.WatchesComeBack(s) ? add(e.ep->ComeBackFd(), POLLIN) : -1;
        at.busy = link.WatchesBusy(s) ? add(e.ep->BusyFd(), POLLIN) : -1;
    }
    std::optional<Clock::time_point> next =
        link.NextWake([&](Side s) { return slots[s == Side::Host ? 0 : 1].data >= 0; });
    if (until) {
        next = next ? std::min(*next, *until) : *until;
    }
    timespec ts{};
    if (next) {
        const auto left = std::max(*next - Clock::now(), Clock::duration::zero());
        ts.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(left).count());
        ts.tv_nsec = static_cast<long>((left - std::chrono::seconds(ts.tv_sec)) / 1ns);
    }
    const int got = ppoll(fds, n, next ? &ts : nullptr, nullptr);
    if (got < 0 && errno != EINTR) {
        *error = "ppoll: " + SystemErrorText(static_cast<std::uint32_t>(errno));
        return false;
    }
    if (got <= 0) {
        return true;  // time, or a signal: the next pass looks at everything again
    }
    const auto now = Clock::now();
    // The device first: what it says may leave no room for the host's requests.
    for (const Side s : {Side::Device, Side::Host}) {
        const Slots& at = slots[s == Side::Host ? 0 : 1];
        const short rev = at.data >= 0 ? fds[at.data].revents : 0;
        EndSeen seen;
        seen.readable = (rev & POLLIN) != 0;
        seen.writable = (rev & POLLOUT) != 0;
        seen.gone = (rev & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        seen.hungUp = (rev & POLLHUP) != 0;
        seen.comeBack = at.comeBack >= 0 && fds[at.comeBack].revents != 0;
        seen.busy = at.busy >= 0 && fds[at.busy].revents != 0;
        link.Handle(s, seen, now);
    }
    return true;
}

}  // namespace zolhost
