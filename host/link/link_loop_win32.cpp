// The link's wait on Windows: one WaitForMultipleObjects over the stop request and
// the events the ends offer (a socket's network events, a serial port's comm
// events, and the end of a port's write in progress while the link waits for
// room), until the next thing falls due. Something due sooner than the system's
// timer can wake is waited for by giving the core away in between. A wait that
// fails (an end's event gone) is no timeout: it is said to the loop, which rests
// before it waits again (wait_failures.h).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <algorithm>

#include "host/link/link.h"
#include "host/system/system.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;

constexpr auto kTimerGrain = 2ms;  // shorter waits than this are not left to the timer

}  // namespace

bool WaitForLink(Link& link, std::optional<Clock::time_point> until, std::string* error) {
    HANDLE handles[5];
    DWORD n = 0;
    handles[n++] = reinterpret_cast<HANDLE>(StopWakeHandle());
    bool offered[2] = {false, false};  // an end with an event of its own tells when it may be back
    HANDLE room[2] = {nullptr, nullptr};  // an end's own event for room, while the link waits for it
    bool unread = false;               // an end's earlier wake waits for it to have room: none now
    for (const Side s : {Side::Host, Side::Device}) {
        const int k = s == Side::Host ? 0 : 1;
        unread = unread || (link.End(s).wokeUnread && link.WantsRead(s));
        if (const std::intptr_t h = link.End(s).ep->WaitHandle(); h != 0) {
            handles[n++] = reinterpret_cast<HANDLE>(h);
            offered[k] = true;
        }
        if (link.WantsWrite(s)) {
            room[k] = reinterpret_cast<HANDLE>(link.End(s).ep->RoomHandle());
            if (room[k] != nullptr) {
                handles[n++] = room[k];
            }
        }
    }
    std::optional<Clock::time_point> next = link.NextWake([&](Side s) { return offered[s == Side::Host ? 0 : 1]; });
    if (until) {
        next = next ? std::min(*next, *until) : *until;
    }
    DWORD timeout = INFINITE;
    if (unread) {
        timeout = 0;
    } else if (next) {
        const auto left = *next - Clock::now();
        if (left < kTimerGrain) {
            while (Clock::now() < *next && WaitForMultipleObjects(n, handles, FALSE, 0) == WAIT_TIMEOUT) {
                SwitchToThread();
            }
            timeout = 0;
        } else {
            timeout = static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(left - 1ms).count());
        }
    }
    if (WaitForMultipleObjects(n, handles, FALSE, timeout) == WAIT_FAILED) {
        *error = "WaitForMultipleObjects: " + SystemErrorText(GetLastError());
        return false;  // nothing seen: the ends are looked at after the next wait
    }
    const auto now = Clock::now();
    // The device first: what it says may leave no room for the host's requests.
    for (const Side s : {Side::Device, Side::Host}) {
        LinkEnd& e = link.End(s);
        const bool woke = e.ep->Waited();
        // The events say that something happened, not which: each end is looked at
        // without waiting, as its state asks for. An end with no room to be read
        // keeps the wake for when it has: a socket tells of its bytes (FD_READ) or
        // its peer's leaving (FD_CLOSE) once only, until it is read.
        EndSeen seen;
        seen.readable = link.WantsRead(s);
        e.wokeUnread = !seen.readable && (e.wokeUnread || woke);
        // Room is the end's event: an end waiting for it is tried again only when
        // that event woke the wait (a socket's FD_WRITE; a port's write in
        // progress ended, whose event stays set until the next write begins).
        const int k = s == Side::Host ? 0 : 1;
        seen.writable = link.WantsWrite(s) &&
                        (room[k] != nullptr ? WaitForSingleObject(room[k], 0) == WAIT_OBJECT_0 : woke || !offered[k]);
        seen.comeBack = link.WatchesComeBack(s) && offered[k];
        seen.busy = link.WatchesBusy(s) && (woke || !offered[k]);  // a client waiting sets the event
        link.Handle(s, seen, now);
    }
    return true;
}

}  // namespace zolhost
