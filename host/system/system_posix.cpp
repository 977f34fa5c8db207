// POSIX side of what zolhost needs from the system: signals through a self-pipe so that
// every wait wakes on Ctrl-C, poll for input, errno texts.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cstring>

#include "host/system/system.h"
#include "platform/posix_signals.h"

namespace zolhost {

namespace {

// Set from a signal handler or any thread, read by every thread: lock-free, so
// safe in a handler.
std::atomic<bool> gStop{false};
static_assert(std::atomic<bool>::is_always_lock_free);
int gWake[2] = {-1, -1};

void OnStop(int) {
    const int saved = errno;
    gStop = true;
    if (gWake[1] >= 0) {
        const char c = 1;
        (void)!write(gWake[1], &c, 1);
    }
    errno = saved;
}

}  // namespace

void HoldStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null >= 0 && null != fd) {
                dup2(null, fd);
                close(null);
            }
        }
    }
}

void RunOver() {}

void InstallStopHandlers() {
    if (gWake[0] < 0 && pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) {
        gWake[0] = gWake[1] = -1;
    }
    InstallStopSignals(OnStop);
}

bool StopRequested() {
    return gStop;
}

void RequestStop() {
    OnStop(0);
}

int StopWakeFd() {
    return gWake[0];
}

int OpenPty(std::string* slavePath) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[PATH_MAX];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        const int e = errno;
        if (master >= 0) {
            close(master);
        }
        errno = e;
        return -1;
    }
    *slavePath = name;
    return master;
}

bool SleepUnlessStopped(int ms) {
    pollfd pfd{gWake[0], POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (gStop) {
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return true;
        }
        poll(&pfd, gWake[0] >= 0 ? 1 : 0, static_cast<int>(left));
    }
}

bool IsTerminal(std::FILE* f) {
    return isatty(fileno(f)) != 0;
}

std::string OwnDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    const std::string exe(path, static_cast<std::size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

std::string SystemErrorText(std::uint32_t code) {
    return std::strerror(static_cast<int>(code));
}

Io WaitFd(int fd, short events, int timeoutMs, Beside* beside) {
    pollfd pfds[3] = {{fd, events, 0}, {gWake[0], POLLIN, 0}, {beside != nullptr ? beside->fd : -1, POLLIN, 0}};
    for (;;) {
        if (gStop) {
            return Io::Stopped;
        }
        const int r = poll(pfds, 3, timeoutMs);  // a descriptor of -1 is left out
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Io::Failed;
        }
        if (r == 0) {
            return Io::Timeout;
        }
        if (pfds[2].revents != 0) {
            beside->ready = true;
        }
        if ((pfds[0].revents & events) != 0) {
            return Io::Done;  // what is left is read before a hang-up counts
        }
        if ((pfds[0].revents & POLLHUP) != 0) {
            return Io::HungUp;
        }
        if ((pfds[0].revents & (POLLERR | POLLNVAL)) != 0) {
            return Io::Failed;
        }
        if (gStop) {
            return Io::Stopped;
        }
        if (pfds[2].revents != 0) {
            return Io::Timeout;
        }
    }
}

}  // namespace zolhost
