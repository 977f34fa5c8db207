// The link set's wait on Windows: WSAPoll over every watched socket of every link.
// WaitForMultipleObjects would take at most 64 handles, so 256 devices would need
// a thread per 63 of them; WSAPoll takes any number of sockets on one thread (the
// built-in devices' links have nothing but sockets to wait on). It cannot wait for
// the stop request's event, so it looks at it every kStopLookMs; a wake due sooner
// than the system's timer can give is waited for by giving the core away in between.
// A WSAPoll that fails (a socket gone from under it, no network) is no timeout: it
// is said to the loop, which rests before it waits again (wait_failures.h).
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>

#include "host/system/system.h"
#include "host/wait/link_wait.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;

constexpr auto kTimerGrain = 2ms;
constexpr int kStopLookMs = 100;

}  // namespace

struct LinkWaiter::Impl {
    std::map<int, std::pair<std::size_t, unsigned>> watched;  // fd -> link, events
};

LinkWaiter::LinkWaiter() : impl_(std::make_unique<Impl>()) {}

LinkWaiter::~LinkWaiter() = default;

void LinkWaiter::Change(std::size_t link, const std::vector<Watch>& was, const std::vector<Watch>& now) {
    for (const Watch& w : was) {
        impl_->watched.erase(w.fd);
    }
    for (const Watch& w : now) {
        impl_->watched[w.fd] = {link, w.events};
    }
}

void LinkWaiter::WatchControl(int) {}

void LinkWaiter::WatchBeside(int) {}

void LinkWaiter::UnwatchBeside(int) {}

bool LinkWaiter::Wait(std::optional<Clock::time_point> until, std::vector<WaitSeen>* seen, bool* commands, bool* beside,
                      std::string* error) {
    *commands = true;
    if (beside != nullptr) {
        *beside = true;  // looked at after every wait
    }
    std::vector<WSAPOLLFD> fds;
    std::vector<std::size_t> links;
    for (const auto& [fd, what] : impl_->watched) {
        WSAPOLLFD p{};
        p.fd = static_cast<SOCKET>(fd);
        p.events = static_cast<SHORT>(((what.second & kWaitIn) != 0 ? POLLRDNORM : 0) |
                                      ((what.second & kWaitOut) != 0 ? POLLWRNORM : 0));
        fds.push_back(p);
        links.push_back(what.first);
    }
    int timeout = kStopLookMs;
    if (until) {
        const auto left = *until - Clock::now();
        if (left < kTimerGrain) {
            while (Clock::now() < *until &&
                   (fds.empty() || WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), 0) == 0)) {
                SwitchToThread();
            }
            timeout = 0;
        } else {
            timeout = static_cast<int>(std::min<long long>(
                kStopLookMs, std::chrono::duration_cast<std::chrono::milliseconds>(left - 1ms).count()));
        }
    }
    if (fds.empty()) {
        if (timeout > 0 && !StopRequested()) {
            Sleep(static_cast<DWORD>(timeout));
        }
        return true;
    }
    const int n = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout);
    if (n == SOCKET_ERROR) {
        *error = "WSAPoll: " + SystemErrorText(static_cast<std::uint32_t>(WSAGetLastError()));
        return false;
    }
    if (n == 0) {
        return true;
    }
    for (std::size_t k = 0; k < fds.size(); ++k) {
        const SHORT r = fds[k].revents;
        if (r == 0) {
            continue;
        }
        seen->push_back({links[k], static_cast<int>(fds[k].fd),
                         ((r & (POLLRDNORM | POLLHUP)) != 0 ? kWaitIn : 0u) | ((r & POLLWRNORM) != 0 ? kWaitOut : 0u) |
                             ((r & POLLHUP) != 0 ? kWaitHangUp : 0u) | ((r & (POLLERR | POLLNVAL)) != 0 ? kWaitError : 0u)});
    }
    return true;
}

}  // namespace zolhost
