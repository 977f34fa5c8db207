// The OS layer on Linux: opening, transfers, queues and modem lines on a terminal
// descriptor, epoll and an eventfd for the monitor thread. The line settings are
// in com_termios_linux.cpp.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/posix_signals.h"
#include "serial/com_os.h"

int OsFailWithErrno();

namespace {
thread_local std::uint32_t tLastError = 0;
}  // namespace

int OsFailWithErrno() {
    tLastError = static_cast<std::uint32_t>(errno);
    return 0;
}

namespace {

int Fail() {
    return OsFailWithErrno();
}

// What the layer holds for an exclusive port beside the kernel's queues.
//
// Read-ahead: the frame reader takes one byte at a time, and on a terminal every
// read is a system call; a one-byte read instead takes all that is waiting in one
// call and hands the rest out from here. Those bytes still count as waiting in the
// input queue (OsClearCommError) and a purge drops them.
//
// Only the thread that reads the port changes them; the monitor reads the count.
struct PortBuffers {
    std::atomic<int> fd{-1};               // the port it serves, -1 when free
    std::atomic<std::uint32_t> count{0};   // read-ahead bytes held
    std::uint32_t head = 0;                // next read-ahead byte to hand out
    unsigned char buf[4096];
};

constexpr std::size_t kMaxExclusivePorts = 16;
PortBuffers gPorts[kMaxExclusivePorts];

PortBuffers* FindBuffers(int fd) {
    for (PortBuffers& pb : gPorts) {
        if (pb.fd.load(std::memory_order_acquire) == fd) {
            return &pb;
        }
    }
    return nullptr;
}

bool ClaimBuffers(int fd) {
    for (PortBuffers& pb : gPorts) {
        int free = -1;
        if (pb.fd.compare_exchange_strong(free, fd, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

void ReleaseBuffers(PortBuffers& pb) {
    pb.count.store(0, std::memory_order_relaxed);
    pb.head = 0;
    pb.fd.store(-1, std::memory_order_release);
}

// Hands out up to cb held bytes; returns how many.
std::uint32_t TakeHeld(PortBuffers& pb, unsigned char* p, std::uint32_t cb) {
    const std::uint32_t held = pb.count.load(std::memory_order_relaxed);
    const std::uint32_t n = std::min(cb, held);
    std::memcpy(p, pb.buf + pb.head, n);
    pb.head += n;
    pb.count.store(held - n, std::memory_order_release);
    return n;
}

ssize_t WriteOnce(int fd, const void* p, std::size_t cb) {
    ssize_t n;
    do {
        n = write(fd, p, cb);
    } while (n < 0 && errno == EINTR);
    return n;
}

// Keeps a descriptor of the port layer off the numbers of the standard streams.
// When the program starts with one of them closed, the port would otherwise take
// its number: console text would go out on the line, and the key test would read
// the line's bytes as key presses. Returns the descriptor to use (-1 on failure,
// with the given one closed).
int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

}  // namespace

bool OsNativePortName(std::uint32_t nPort, char* szBuff, std::size_t cbBuff) {
    if (nPort == 0) {
        return false;  // COM1 is ttyS0; there is no port 0
    }
    const int n = std::snprintf(szBuff, cbBuff, "/dev/ttyS%lu", static_cast<unsigned long>(nPort - 1));
    return n > 0 && static_cast<std::size_t>(n) < cbBuff;
}

OsHandle OsOpen(const char* szName, OsOpenMode mode) {
    const int fd = AboveStandardStreams(open(szName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd < 0) {
        // A link to nothing (an adapter unplugged) exists: the device has gone.
        struct stat st {};
        if (errno == ENOENT && lstat(szName, &st) == 0) {
            errno = ENODEV;
        }
        Fail();
        return INVALID_HANDLE_VALUE;
    }
    if (mode == OsOpenMode::Exclusive) {
        // flock keeps out every other program that asks the same, root included;
        // TIOCEXCL also keeps out plain opens by other users.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            Fail();
            close(fd);
            return INVALID_HANDLE_VALUE;
        }
        if (!ClaimBuffers(fd)) {
            errno = EMFILE;
            Fail();
            close(fd);
            return INVALID_HANDLE_VALUE;
        }
        ioctl(fd, TIOCEXCL);  // not a terminal: configuring it fails next
    } else {
        // Opened without waiting for carrier; transfers then block until done.
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            Fail();
            close(fd);
            return INVALID_HANDLE_VALUE;
        }
    }
    return fd;
}

void OsClose(OsHandle h) {
    if (h < 0) {
        return;
    }
    if (PortBuffers* pb = FindBuffers(h)) {
        ReleaseBuffers(*pb);
    }
    ioctl(h, TIOCNXCL);
    close(h);  // releases the flock too
}

int OsSetupComm(OsHandle h, std::uint32_t, std::uint32_t) {
    // Terminal queues have a fixed size; only the handle is checked.
    if (fcntl(h, F_GETFD) < 0) {
        return Fail();
    }
    return 1;
}

int OsClearCommError(OsHandle h, std::uint32_t* pcbInQue, std::uint32_t* pcbOutQue) {
    int n = 0;
    if (pcbInQue != nullptr) {
        if (ioctl(h, FIONREAD, &n) != 0) {
            return Fail();
        }
        const PortBuffers* pb = FindBuffers(h);
        *pcbInQue = static_cast<std::uint32_t>(n) + (pb != nullptr ? pb->count.load(std::memory_order_acquire) : 0);
    }
    if (pcbOutQue != nullptr) {
        if (ioctl(h, TIOCOUTQ, &n) != 0) {
            return Fail();
        }
        *pcbOutQue = static_cast<std::uint32_t>(n);
    }
    return 1;
}

namespace {

ssize_t ReadOnce(int fd, void* p, std::size_t cb) {
    ssize_t n;
    do {
        n = read(fd, p, cb);
    } while (n < 0 && errno == EINTR);
    return n;
}

}  // namespace

int OsInputWaiting(OsHandle h) {
    // Bytes held are enough to know: no system call while a frame is taken apart.
    // With none held, one read takes what is waiting into the read-ahead: the same
    // system call answers the question and fetches the bytes asked about.
    PortBuffers* pb = FindBuffers(h);
    if (pb != nullptr) {
        if (pb->count.load(std::memory_order_acquire) > 0) {
            return 1;
        }
        const ssize_t n = ReadOnce(h, pb->buf, sizeof pb->buf);
        if (n <= 0) {
            return 0;
        }
        pb->head = 0;
        pb->count.store(static_cast<std::uint32_t>(n), std::memory_order_release);
        return 1;
    }
    std::uint32_t cbInQue = 0;
    return OsClearCommError(h, &cbInQue, nullptr) && cbInQue > 0 ? 1 : 0;
}

int OsRead(OsHandle h, void* pBuf, std::uint32_t cb, std::uint32_t* pcbRead) {
    *pcbRead = 0;
    auto* p = static_cast<unsigned char*>(pBuf);
    std::uint32_t got = 0;
    PortBuffers* pb = FindBuffers(h);
    if (pb != nullptr) {
        if (cb == 1 && pb->count.load(std::memory_order_relaxed) == 0) {
            const ssize_t n = ReadOnce(h, pb->buf, sizeof pb->buf);
            if (n < 0) {
                return Fail();
            }
            pb->head = 0;
            pb->count.store(static_cast<std::uint32_t>(n), std::memory_order_release);
        }
        got = TakeHeld(*pb, p, cb);
        if (got == cb) {
            *pcbRead = got;
            return 1;
        }
    }
    // The rest comes straight from the port, as much as is there.
    ssize_t n = ReadOnce(h, p + got, cb - got);
    if (n < 0) {
        if (got == 0) {
            return Fail();
        }
        n = 0;  // the held bytes are delivered; the port's trouble shows next time
    }
    *pcbRead = got + static_cast<std::uint32_t>(n);
    return 1;
}

std::intptr_t OsWritableEvent(OsHandle) {
    return 0;
}

int OsWriteSome(OsHandle h, const void* pBuf, std::uint32_t cb, std::uint32_t* pcbTaken) {
    *pcbTaken = 0;
    const ssize_t n = WriteOnce(h, pBuf, cb);
    if (n < 0 && errno != EAGAIN) {
        return Fail();
    }
    *pcbTaken = static_cast<std::uint32_t>(std::max<ssize_t>(n, 0));
    return 1;
}

namespace {
pthread_mutex_t gOutputLock = PTHREAD_MUTEX_INITIALIZER;
}

void OsOutputLock() {
    pthread_mutex_lock(&gOutputLock);
}

void OsOutputUnlock() {
    pthread_mutex_unlock(&gOutputLock);
}

std::uint32_t OsLastError() {
    return tLastError;
}

std::uint32_t OsWindowsError(std::uint32_t code) {
    switch (code) {
    case ERROR_IO_PENDING:
    case ERROR_BUSY: return code;  // the serial port layer's own outcomes
    case EAGAIN: return ERROR_BUSY;  // nothing taken: the queue is full, try again later
    case EBADF: return ERROR_INVALID_HANDLE;
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE: return ERROR_DEVICE_NOT_CONNECTED;
    case EINVAL:
    case EFAULT: return ERROR_INVALID_PARAMETER;
    case ENOMEM:
    case ENOBUFS: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
    }
}

bool OsNameMissing(std::uint32_t code) {
    // A missing file, or a missing folder on its path; OsOpen reports a link to
    // nothing as ENODEV.
    return code == ENOENT;
}

int OsPurgeComm(OsHandle h, std::uint32_t dwFlags) {
    const bool rx = (dwFlags & PURGE_RXCLEAR) != 0;
    const bool tx = (dwFlags & PURGE_TXCLEAR) != 0;
    if (!rx && !tx) {
        return 1;
    }
    if (rx) {
        if (PortBuffers* pb = FindBuffers(h)) {
            pb->count.store(0, std::memory_order_release);
            pb->head = 0;
        }
    }
    if (tcflush(h, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) != 0) {
        return Fail();
    }
    return 1;
}

int OsEscapeCommFunction(OsHandle h, std::uint32_t dwFunc) {
    int r = -1;
    int bit = 0;
    switch (dwFunc) {
    case SETRTS: bit = TIOCM_RTS; r = ioctl(h, TIOCMBIS, &bit); break;
    case CLRRTS: bit = TIOCM_RTS; r = ioctl(h, TIOCMBIC, &bit); break;
    case SETDTR: bit = TIOCM_DTR; r = ioctl(h, TIOCMBIS, &bit); break;
    case CLRDTR: bit = TIOCM_DTR; r = ioctl(h, TIOCMBIC, &bit); break;
    case SETBREAK: r = ioctl(h, TIOCSBRK); break;
    case CLRBREAK: r = ioctl(h, TIOCCBRK); break;
    case SETXOFF: r = tcflow(h, TCOOFF); break;
    case SETXON: r = tcflow(h, TCOON); break;
    default: errno = EINVAL; break;
    }
    return r == 0 ? 1 : Fail();
}

int OsGetCommModemStatus(OsHandle h, std::uint32_t* pdwStatus) {
    int lines = 0;
    if (ioctl(h, TIOCMGET, &lines) != 0) {
        return Fail();
    }
    *pdwStatus = ((lines & TIOCM_CTS) != 0 ? MS_CTS_ON : 0) | ((lines & TIOCM_DSR) != 0 ? MS_DSR_ON : 0) |
                 ((lines & TIOCM_RNG) != 0 ? MS_RING_ON : 0) | ((lines & TIOCM_CAR) != 0 ? MS_RLSD_ON : 0);
    return 1;
}

// The monitor sleeps in epoll_wait on two things: the port, edge-triggered (the main
// loop reads the bytes, so a level-triggered wait would wake again and again while
// they wait), and an eventfd that OsMonitorStop writes to.
struct OsMonitor {
    OsHandle hCom = INVALID_HANDLE_VALUE;
    OsMonitorBody body = nullptr;
    int epfd = -1;
    int stopfd = -1;
    pthread_t thread{};
};

namespace {

void* MonitorMain(void* arg) {
    auto* m = static_cast<OsMonitor*>(arg);
    m->body(m);
    return nullptr;
}

void FreeMonitor(OsMonitor* m) {
    if (m->epfd >= 0) {
        close(m->epfd);
    }
    if (m->stopfd >= 0) {
        close(m->stopfd);
    }
    delete m;
}

}  // namespace

OsMonitor* OsMonitorStart(OsHandle h, std::uint32_t dwMask, OsMonitorBody body) {
    auto* m = new OsMonitor;
    m->hCom = h;
    m->body = body;
    m->epfd = AboveStandardStreams(epoll_create1(EPOLL_CLOEXEC));
    m->stopfd = AboveStandardStreams(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m->stopfd;
    if (m->epfd < 0 || m->stopfd < 0 || epoll_ctl(m->epfd, EPOLL_CTL_ADD, m->stopfd, &ev) != 0 ||
        !OsMonitorSetMask(m, dwMask)) {
        Fail();
        FreeMonitor(m);
        return nullptr;
    }
    // Signals are handled by the program's own threads, never by the monitor.
    int r;
    {
        const AllSignalsBlocked quiet;
        r = pthread_create(&m->thread, nullptr, MonitorMain, m);
    }
    if (r != 0) {
        errno = r;
        Fail();
        FreeMonitor(m);
        return nullptr;
    }
    pthread_setname_np(m->thread, kMonitorThreadName);  // as ps, top -H and gdb show it
    return m;
}

void OsMonitorRaisePriority(OsMonitor* m) {
    // Real-time scheduling needs a privilege the program does not ask for; without
    // it the thread keeps its normal priority.
    sched_param sp{};
    sp.sched_priority = sched_get_priority_max(SCHED_FIFO);
    pthread_setschedparam(m->thread, SCHED_FIFO, &sp);
}

int OsMonitorSetMask(OsMonitor* m, std::uint32_t dwMask) {
    // Arriving bytes and room to write have counterparts: a terminal reports room
    // to write, not an empty transmitter. epoll may be changed while the thread
    // waits in it, and a change reports a state already there.
    epoll_event ev{};
    ev.events = ((dwMask & EV_RXCHAR) != 0 ? std::uint32_t{EPOLLIN} : 0u) |
                ((dwMask & kOsEvWritable) != 0 ? std::uint32_t{EPOLLOUT} : 0u);
    ev.data.fd = m->hCom;
    if (ev.events == 0) {
        return epoll_ctl(m->epfd, EPOLL_CTL_DEL, m->hCom, nullptr) == 0 || errno == ENOENT ? 1 : Fail();
    }
    ev.events |= EPOLLET;
    if (epoll_ctl(m->epfd, EPOLL_CTL_MOD, m->hCom, &ev) == 0 ||
        (errno == ENOENT && epoll_ctl(m->epfd, EPOLL_CTL_ADD, m->hCom, &ev) == 0)) {
        return 1;
    }
    return Fail();
}

bool OsMonitorWait(OsMonitor* m, std::uint32_t* pdwEvents) {
    *pdwEvents = 0;
    epoll_event evs[2];
    const int n = epoll_wait(m->epfd, evs, 2, -1);
    for (int i = 0; i < n; ++i) {
        if (evs[i].data.fd == m->stopfd) {
            return false;
        }
        *pdwEvents |= ((evs[i].events & EPOLLIN) != 0 ? EV_RXCHAR : 0) |
                      ((evs[i].events & EPOLLOUT) != 0 ? kOsEvWritable : 0);
        if ((evs[i].events & (EPOLLHUP | EPOLLERR)) != 0) {
            // A port that hung up or failed reports it for good: stop watching it
            // so the wait sleeps until the stop signal.
            *pdwEvents |= EV_ERR;
            epoll_ctl(m->epfd, EPOLL_CTL_DEL, m->hCom, nullptr);
        }
    }
    return true;
}

void OsMonitorStop(OsMonitor* m) {
    const std::uint64_t one = 1;
    while (write(m->stopfd, &one, sizeof one) < 0 && errno == EINTR) {
    }
    pthread_join(m->thread, nullptr);
    FreeMonitor(m);
}
