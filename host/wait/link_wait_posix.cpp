// The link set's wait on POSIX systems: every watched descriptor and the stop
// request in one epoll set (level-triggered, changed only when what a link watches
// changes), waited on with epoll_pwait2, whose timeout keeps the nanoseconds that
// byte times need (epoll_wait's has milliseconds); where the kernel lacks it
// (before Linux 5.11), a ppoll on the epoll set, then epoll_wait without waiting.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "host/system/system.h"
#include "host/wait/link_wait.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;

constexpr int kEventsAtOnce = 256;

std::uint32_t EpollEvents(unsigned events) {
    return ((events & kWaitIn) != 0 ? EPOLLIN : 0u) | ((events & kWaitOut) != 0 ? EPOLLOUT : 0u);
}

}  // namespace

struct LinkWaiter::Impl {
    int ep = epoll_create1(EPOLL_CLOEXEC);
    bool pwait2 = true;  // until the kernel says it has none
};

LinkWaiter::LinkWaiter() : impl_(std::make_unique<Impl>()) {
    // Byte times are shorter than the default timer slack (50 us): wake on time.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = UINT64_MAX;
    epoll_ctl(impl_->ep, EPOLL_CTL_ADD, StopWakeFd(), &ev);
}

LinkWaiter::~LinkWaiter() {
    close(impl_->ep);
}

void LinkWaiter::Change(std::size_t link, const std::vector<Watch>& was, const std::vector<Watch>& now) {
    const int ep = impl_->ep;
    for (const Watch& w : was) {
        if (std::none_of(now.begin(), now.end(), [&w](const Watch& x) { return x.fd == w.fd; })) {
            epoll_ctl(ep, EPOLL_CTL_DEL, w.fd, nullptr);  // fails once it was closed: it went by itself
        }
    }
    for (const Watch& w : now) {
        const auto old = std::find_if(was.begin(), was.end(), [&w](const Watch& x) { return x.fd == w.fd; });
        if (old != was.end() && old->events == w.events) {
            continue;
        }
        epoll_event ev{};
        ev.events = EpollEvents(w.events);
        ev.data.u64 = (static_cast<std::uint64_t>(link) << 32) | static_cast<std::uint32_t>(w.fd);
        if (old == was.end() || epoll_ctl(ep, EPOLL_CTL_MOD, w.fd, &ev) != 0) {
            epoll_ctl(ep, EPOLL_CTL_ADD, w.fd, &ev);
        }
    }
}

constexpr std::uint64_t kControlTag = UINT64_MAX - 1;
constexpr std::uint64_t kBesideTag = UINT64_MAX - 2;

void LinkWaiter::WatchControl(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kControlTag;
    epoll_ctl(impl_->ep, EPOLL_CTL_ADD, fd, &ev);
}

void LinkWaiter::WatchBeside(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kBesideTag;
    epoll_ctl(impl_->ep, EPOLL_CTL_ADD, fd, &ev);
}

void LinkWaiter::UnwatchBeside(int fd) {
    epoll_ctl(impl_->ep, EPOLL_CTL_DEL, fd, nullptr);
}

bool LinkWaiter::Wait(std::optional<Clock::time_point> until, std::vector<WaitSeen>* seen, bool* commands, bool* beside,
                      std::string* error) {
    timespec ts{};
    if (until) {
        const auto left = std::max(*until - Clock::now(), Clock::duration::zero());
        ts.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(left).count());
        ts.tv_nsec = static_cast<long>((left - std::chrono::seconds(ts.tv_sec)) / 1ns);
    }
    *commands = false;
    epoll_event events[kEventsAtOnce];
    int n = -1;
    const char* call = "epoll_pwait2";
    if (impl_->pwait2) {
        n = epoll_pwait2(impl_->ep, events, kEventsAtOnce, until ? &ts : nullptr, nullptr);
        impl_->pwait2 = n >= 0 || errno != ENOSYS;
    }
    if (!impl_->pwait2) {
        pollfd p{impl_->ep, POLLIN, 0};
        call = "ppoll";
        n = ppoll(&p, 1, until ? &ts : nullptr, nullptr);
        if (n > 0) {
            call = "epoll_wait";
            n = epoll_wait(impl_->ep, events, kEventsAtOnce, 0);
        }
    }
    if (n < 0) {
        if (errno == EINTR) {
            return true;  // a signal: the loop looks at everything again
        }
        *error = std::string(call) + ": " + SystemErrorText(static_cast<std::uint32_t>(errno));
        return false;
    }
    for (int k = 0; k < n; ++k) {
        const std::uint64_t data = events[k].data.u64;
        if (data == UINT64_MAX) {
            continue;  // the stop request: the loop looks at it
        }
        if (data == kControlTag) {
            *commands = true;
            continue;
        }
        if (data == kBesideTag) {
            if (beside != nullptr) {
                *beside = true;
            }
            continue;
        }
        const std::uint32_t e = events[k].events;
        seen->push_back({static_cast<std::size_t>(data >> 32), static_cast<int>(static_cast<std::uint32_t>(data)),
                         ((e & EPOLLIN) != 0 ? kWaitIn : 0u) | ((e & EPOLLOUT) != 0 ? kWaitOut : 0u) |
                             ((e & EPOLLHUP) != 0 ? kWaitHangUp : 0u) | ((e & EPOLLERR) != 0 ? kWaitError : 0u)});
    }
    return true;
}

}  // namespace zolhost
