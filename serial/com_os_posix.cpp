// The OS layer on POSIX systems (Linux): termios for the line settings, ioctls for
// queues and modem lines, epoll and an eventfd for the monitor thread.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "serial/com_os.h"

namespace {

thread_local std::uint32_t tLastError = 0;

int Fail() {
    tLastError = static_cast<std::uint32_t>(errno);
    return 0;
}

// How long a write that the kernel took only in part may wait for room for the
// rest of its frame before the frame is given up.
constexpr auto kWriteCompletionLimit = std::chrono::seconds(2);

struct BaudEntry {
    std::uint32_t dwBaud;
    speed_t speed;
};

constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedOf(std::uint32_t dwBaud, speed_t* pSpeed) {
    for (const BaudEntry& e : kBauds) {
        if (e.dwBaud == dwBaud) {
            *pSpeed = e.speed;
            return true;
        }
    }
    return false;
}

std::uint32_t BaudOf(speed_t speed) {
    for (const BaudEntry& e : kBauds) {
        if (e.speed == speed) {
            return e.dwBaud;
        }
    }
    return 0;
}

// A termios with none of the line discipline's processing: what a binary link needs.
bool IsRaw(const termios& tio) {
    return (tio.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON)) == 0 &&
           (tio.c_oflag & OPOST) == 0 && (tio.c_lflag & (ECHO | ECHONL | ICANON | ISIG | IEXTEN)) == 0;
}

void SetModemLine(int fd, int bit, bool on) {
    ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);  // refused by ptys: nothing to do there
}

// Hardware RTS toggling: the driver's RS-485 mode with RTS raised while sending.
bool SetRs485(int fd, bool on) {
    serial_rs485 rs{};
    if (ioctl(fd, TIOCGRS485, &rs) != 0) {
        return !on;  // no RS-485 support: toggling is off already
    }
    if (((rs.flags & SER_RS485_ENABLED) != 0) == on) {
        return true;
    }
    if (on) {
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs.flags &= ~static_cast<decltype(rs.flags)>(SER_RS485_RTS_AFTER_SEND);
    } else {
        rs.flags &= ~static_cast<decltype(rs.flags)>(SER_RS485_ENABLED);
    }
    return ioctl(fd, TIOCSRS485, &rs) == 0;
}

// Read-ahead of an exclusive port. The frame reader takes one byte at a time, and
// on a terminal every read is a system call; a one-byte read instead takes all
// that is waiting in one call and hands the rest out from here. Those bytes still
// count as waiting in the input queue (OsClearCommError) and a purge drops them.
// Only the thread that reads the port changes the buffer; the monitor reads the
// count.
struct ReadAhead {
    std::atomic<int> fd{-1};               // the port it serves, -1 when free
    std::atomic<std::uint32_t> count{0};   // bytes held
    std::uint32_t head = 0;                // next byte to hand out
    unsigned char buf[4096];
};

constexpr std::size_t kReadAheadPorts = 16;  // beyond this, ports read directly
ReadAhead gReadAhead[kReadAheadPorts];

ReadAhead* FindReadAhead(int fd) {
    for (ReadAhead& ra : gReadAhead) {
        if (ra.fd.load(std::memory_order_acquire) == fd) {
            return &ra;
        }
    }
    return nullptr;
}

void ClaimReadAhead(int fd) {
    for (ReadAhead& ra : gReadAhead) {
        int free = -1;
        if (ra.fd.compare_exchange_strong(free, fd, std::memory_order_acq_rel)) {
            return;
        }
    }
}

void ReleaseReadAhead(int fd) {
    if (ReadAhead* ra = FindReadAhead(fd)) {
        ra->count.store(0, std::memory_order_relaxed);
        ra->head = 0;
        ra->fd.store(-1, std::memory_order_release);
    }
}

// Hands out up to cb held bytes; returns how many.
std::uint32_t TakeHeld(ReadAhead& ra, unsigned char* p, std::uint32_t cb) {
    const std::uint32_t held = ra.count.load(std::memory_order_relaxed);
    const std::uint32_t n = std::min(cb, held);
    std::memcpy(p, ra.buf + ra.head, n);
    ra.head += n;
    ra.count.store(held - n, std::memory_order_release);
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

bool Rs485Enabled(int fd) {
    serial_rs485 rs{};
    return ioctl(fd, TIOCGRS485, &rs) == 0 && (rs.flags & SER_RS485_ENABLED) != 0;
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
        ioctl(fd, TIOCEXCL);  // not a terminal: configuring it fails next
        ClaimReadAhead(fd);
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
    ReleaseReadAhead(h);
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

int OsGetCommState(OsHandle h, DCB* pDcb) {
    termios tio{};
    if (tcgetattr(h, &tio) != 0) {
        return Fail();
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudOf(cfgetospeed(&tio));
    dcb.fBinary = IsRaw(tio) ? 1 : 0;
    switch (tio.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if ((tio.c_cflag & PARENB) != 0) {
        dcb.fParity = 1;
        const bool odd = (tio.c_cflag & PARODD) != 0;
        if ((tio.c_cflag & CMSPAR) != 0) {
            dcb.Parity = odd ? MARKPARITY : SPACEPARITY;
        } else {
            dcb.Parity = odd ? ODDPARITY : EVENPARITY;
        }
    }
    dcb.StopBits = (tio.c_cflag & CSTOPB) != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutX = (tio.c_iflag & IXON) != 0 ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) != 0 ? 1 : 0;
    const bool handshake = (tio.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = handshake ? 1 : 0;
    int lines = 0;
    const bool haveLines = ioctl(h, TIOCMGET, &lines) == 0;
    if (Rs485Enabled(h)) {
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    } else if (handshake) {
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else {
        dcb.fRtsControl = haveLines && (lines & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    dcb.fDtrControl = haveLines && (lines & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    *pDcb = dcb;
    return 1;
}

int OsSetCommState(OsHandle h, const DCB* pDcb) {
    const DCB& dcb = *pDcb;
    termios tio{};
    if (!dcb.fBinary && tcgetattr(h, &tio) != 0) {
        return Fail();  // a device in text mode keeps the rest of its settings
    }
    speed_t speed = 0;
    if (!SpeedOf(dcb.BaudRate, &speed)) {
        errno = EINVAL;
        return Fail();
    }
    tcflag_t size = CS8;
    switch (dcb.ByteSize) {
    case 5: size = CS5; break;
    case 6: size = CS6; break;
    case 7: size = CS7; break;
    case 8: size = CS8; break;
    default: errno = EINVAL; return Fail();
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= size | CREAD | CLOCAL;
    if (dcb.fParity) {
        switch (dcb.Parity) {
        case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: tio.c_cflag |= PARENB; break;
        case MARKPARITY: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
        default: break;
        }
        if (tio.c_cflag & PARENB) {
            tio.c_iflag |= INPCK;
        }
    }
    switch (dcb.StopBits) {
    case ONESTOPBIT: break;
    case TWOSTOPBITS: tio.c_cflag |= CSTOPB; break;
    default: errno = EINVAL; return Fail();  // one and a half: no termios setting
    }
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        tio.c_cflag |= CRTSCTS;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    tio.c_iflag |= (dcb.fOutX ? IXON : 0) | (dcb.fInX ? IXOFF : 0);
    if (dcb.fOutX || dcb.fInX) {
        tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    if (dcb.fBinary) {
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);

    // RTS toggling first: where the driver refuses it nothing else changes.
    if (!SetRs485(h, dcb.fRtsControl == RTS_CONTROL_TOGGLE)) {
        return Fail();
    }
    if (tcsetattr(h, TCSANOW, &tio) != 0) {
        return Fail();
    }
    if (dcb.fDtrControl != DTR_CONTROL_HANDSHAKE) {
        SetModemLine(h, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    }
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE || dcb.fRtsControl == RTS_CONTROL_ENABLE) {
        SetModemLine(h, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE);
    }
    return 1;
}

int OsClearCommError(OsHandle h, std::uint32_t* pcbInQue, std::uint32_t* pcbOutQue) {
    int n = 0;
    if (pcbInQue != nullptr) {
        if (ioctl(h, FIONREAD, &n) != 0) {
            return Fail();
        }
        const ReadAhead* ra = FindReadAhead(h);
        *pcbInQue = static_cast<std::uint32_t>(n) + (ra != nullptr ? ra->count.load(std::memory_order_acquire) : 0);
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
    const ReadAhead* ra = FindReadAhead(h);
    if (ra != nullptr && ra->count.load(std::memory_order_acquire) > 0) {
        return 1;
    }
    std::uint32_t cbInQue = 0;
    return OsClearCommError(h, &cbInQue, nullptr) && cbInQue > 0 ? 1 : 0;
}

int OsRead(OsHandle h, void* pBuf, std::uint32_t cb, std::uint32_t* pcbRead) {
    *pcbRead = 0;
    auto* p = static_cast<unsigned char*>(pBuf);
    std::uint32_t got = 0;
    ReadAhead* ra = FindReadAhead(h);
    if (ra != nullptr) {
        if (cb == 1 && ra->count.load(std::memory_order_relaxed) == 0) {
            const ssize_t n = ReadOnce(h, ra->buf, sizeof ra->buf);
            if (n < 0) {
                return Fail();
            }
            ra->head = 0;
            ra->count.store(static_cast<std::uint32_t>(n), std::memory_order_release);
        }
        got = TakeHeld(*ra, p, cb);
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

int OsWrite(OsHandle h, const void* pBuf, std::uint32_t cb) {
    const auto* p = static_cast<const unsigned char*>(pBuf);
    std::uint32_t done = 0;
    while (done < cb) {
        const ssize_t n = write(h, p + done, cb - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            return Fail();
        }
        if (done == 0) {
            return Fail();  // nothing taken: the frame is dropped whole, never torn
        }
        // The kernel took part of the frame; the rest follows as soon as there is
        // room, so the frame goes out whole.
        pollfd pfd{h, POLLOUT, 0};
        const int ms = static_cast<int>(std::chrono::milliseconds(kWriteCompletionLimit).count());
        int r;
        do {
            r = poll(&pfd, 1, ms);
        } while (r < 0 && errno == EINTR);
        if (r <= 0) {
            if (r == 0) {
                errno = ETIMEDOUT;
            }
            return Fail();
        }
    }
    return 1;
}

std::uint32_t OsLastError() {
    return tLastError;
}

int OsPurgeComm(OsHandle h, std::uint32_t dwFlags) {
    const bool rx = (dwFlags & PURGE_RXCLEAR) != 0;
    const bool tx = (dwFlags & PURGE_TXCLEAR) != 0;
    if (!rx && !tx) {
        return 1;
    }
    if (rx) {
        if (ReadAhead* ra = FindReadAhead(h)) {
            ra->count.store(0, std::memory_order_release);
            ra->head = 0;
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
    bool watching = false;  // the port is in the epoll set
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

OsMonitor* OsMonitorStart(OsHandle h, OsMonitorBody body) {
    auto* m = new OsMonitor;
    m->hCom = h;
    m->body = body;
    m->epfd = AboveStandardStreams(epoll_create1(EPOLL_CLOEXEC));
    m->stopfd = AboveStandardStreams(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = m->stopfd;
    if (m->epfd < 0 || m->stopfd < 0 || epoll_ctl(m->epfd, EPOLL_CTL_ADD, m->stopfd, &ev) != 0) {
        Fail();
        FreeMonitor(m);
        return nullptr;
    }
    // Signals are handled by the program's own threads, never by the monitor.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const int r = pthread_create(&m->thread, nullptr, MonitorMain, m);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
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
    // Only arriving bytes have a counterpart worth waking for: a terminal reports
    // room to write, not an empty transmitter.
    const bool want = (dwMask & EV_RXCHAR) != 0;
    if (want == m->watching) {
        return 1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = m->hCom;
    if (epoll_ctl(m->epfd, want ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, m->hCom, &ev) != 0) {
        return Fail();
    }
    m->watching = want;
    return 1;
}

bool OsMonitorWait(OsMonitor* m, std::uint32_t* pdwEvents) {
    *pdwEvents = 0;
    epoll_event evs[2];
    const int n = epoll_wait(m->epfd, evs, 2, -1);
    for (int i = 0; i < n; ++i) {
        if (evs[i].data.fd == m->stopfd) {
            return false;
        }
        if ((evs[i].events & EPOLLIN) != 0) {
            *pdwEvents |= EV_RXCHAR;
        }
        if ((evs[i].events & (EPOLLHUP | EPOLLERR)) != 0) {
            // A port that hung up or failed reports it for good: stop watching it
            // so the wait sleeps until the stop signal.
            *pdwEvents |= EV_ERR;
            epoll_ctl(m->epfd, EPOLL_CTL_DEL, m->hCom, nullptr);
            m->watching = false;
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
