// The OS layer on Linux: termios (and termios2 for rates of their own) for the line
// settings, ioctls for queues, modem lines and RS-485 mode, epoll and an eventfd for
// the monitor thread.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
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
#include <thread>
#include <vector>

#include "platform/posix_signals.h"
#include "serial/com_os.h"

// The kernel's termios with a speed of its own in bits per second, for the rates
// outside the B-constants (TCGETS2/TCSETS2 with BOTHER). glibc's <termios.h> and
// the kernel's header that declares it cannot both be included.
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
#ifndef BOTHER
#  define BOTHER 0010000
#endif
#ifndef IBSHIFT
#  define IBSHIFT 16  // where the input speed sits in c_cflag
#endif

namespace {

thread_local std::uint32_t tLastError = 0;

int Fail() {
    tLastError = static_cast<std::uint32_t>(errno);
    return 0;
}

// How long closing a port gives output still on its way to the line, so that a
// reply written just before the close goes out; a line that does not take it in
// that time is not waited for.
constexpr auto kCloseDrainLimit = std::chrono::milliseconds(20);

// How long a write on a descriptor without the layer's buffers waits for room for
// the rest of bytes it has begun to send.
constexpr auto kWriteThroughLimit = std::chrono::milliseconds(2000);

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

// The line's speed in bits per second, a rate of its own included.
std::uint32_t BaudOf(int fd, speed_t speed) {
    for (const BaudEntry& e : kBauds) {
        if (e.speed == speed) {
            return e.dwBaud;
        }
    }
    termios2 t2{};
    return ioctl(fd, TCGETS2, &t2) == 0 ? t2.c_ospeed : 0;
}

// Sets a rate outside the table, which the driver may refuse.
bool SetOtherBaud(int fd, std::uint32_t dwBaud) {
    termios2 t2{};
    if (ioctl(fd, TCGETS2, &t2) != 0) {
        return false;
    }
    t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t2.c_ispeed = dwBaud;
    t2.c_ospeed = dwBaud;
    return ioctl(fd, TCSETS2, &t2) == 0;
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

// What the layer holds for an exclusive port beside the kernel's queues.
//
// Read-ahead: the frame reader takes one byte at a time, and on a terminal every
// read is a system call; a one-byte read instead takes all that is waiting in one
// call and hands the rest out from here. Those bytes still count as waiting in the
// input queue (OsClearCommError) and a purge drops them.
//
// Write tail: what the kernel has not yet taken of the last write. It goes out
// before any later byte, so a frame is never cut on the line by the next one.
//
// Only the thread that reads and writes the port changes the buffers; the monitor
// reads the input count.
struct PortBuffers {
    std::atomic<int> fd{-1};               // the port it serves, -1 when free
    std::atomic<std::uint32_t> count{0};   // read-ahead bytes held
    std::uint32_t head = 0;                // next read-ahead byte to hand out
    unsigned char buf[4096];
    std::vector<unsigned char> tail;       // unsent end of the last write
    std::size_t tailHead = 0;              // next tail byte to send
    std::size_t TailLeft() const { return tail.size() - tailHead; }
    void DropTail() {
        tail.clear();
        tailHead = 0;
    }
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
    pb.DropTail();
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

// A write on a descriptor the layer keeps no buffers for (a shared port, which
// blocks; or a descriptor opened elsewhere, such as a pty's master end): nothing
// taken fails at once (EAGAIN where it would block); once part is taken, the rest
// follows as room appears, within kWriteThroughLimit, so the bytes go out whole.
int WriteThrough(int fd, const unsigned char* p, std::uint32_t cb) {
    std::uint32_t done = 0;
    while (done < cb) {
        const ssize_t n = WriteOnce(fd, p + done, cb - done);
        if (n > 0) {
            done += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && (errno != EAGAIN || done == 0)) {
            return Fail();
        }
        pollfd pfd{fd, POLLOUT, 0};
        int r;
        do {
            r = poll(&pfd, 1, static_cast<int>(kWriteThroughLimit.count()));
        } while (r < 0 && errno == EINTR);
        if (r <= 0) {
            errno = r == 0 ? ETIMEDOUT : errno;
            return Fail();
        }
    }
    return 1;
}

// Sends what the line takes now of the write tail. false: the port failed (the
// tail is then given up: nothing after it could follow it whole).
bool PushTail(int fd, PortBuffers& pb) {
    if (pb.TailLeft() == 0) {
        return true;
    }
    const ssize_t n = WriteOnce(fd, pb.tail.data() + pb.tailHead, pb.TailLeft());
    const bool fOk = n >= 0 || errno == EAGAIN;
    pb.tailHead += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    if (!fOk || pb.TailLeft() == 0) {
        pb.DropTail();
    }
    return fOk;
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
        // Output on its way gets a moment to reach the line; a line that does not
        // move is not waited for. What the driver still holds then is discarded,
        // so that close() does not wait for it either (a pty holds none: what it
        // took is the other end's to read, and stays).
        const auto tEnd = std::chrono::steady_clock::now() + kCloseDrainLimit;
        int outq = 0;
        for (;;) {
            const bool fOk = PushTail(h, *pb);
            if (ioctl(h, TIOCOUTQ, &outq) != 0) {
                outq = 0;
            }
            if (!fOk || (pb->TailLeft() == 0 && outq == 0) || std::chrono::steady_clock::now() >= tEnd) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (outq > 0) {
            tcflush(h, TCOFLUSH);
        }
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

int OsGetCommState(OsHandle h, DCB* pDcb) {
    termios tio{};
    if (tcgetattr(h, &tio) != 0) {
        return Fail();
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = BaudOf(h, cfgetospeed(&tio));
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
    // A rate outside the table is set on its own once the rest is applied.
    speed_t speed = B38400;
    const bool otherBaud = !SpeedOf(dcb.BaudRate, &speed);
    if (dcb.BaudRate == 0) {
        errno = EINVAL;  // would hang up the line, not set a rate
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
    // Parity is sent, and a byte received with a parity error is delivered as it
    // came (no input check, which would turn it into 0x00), as Windows does.
    tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | PARMRK | IGNPAR);
    tio.c_cflag |= size | CREAD | CLOCAL;
    if (dcb.fParity) {
        switch (dcb.Parity) {
        case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: tio.c_cflag |= PARENB; break;
        case MARKPARITY: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
        default: break;
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
    if (tcsetattr(h, TCSANOW, &tio) != 0 || (otherBaud && !SetOtherBaud(h, dcb.BaudRate))) {
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
        const PortBuffers* pb = FindBuffers(h);
        *pcbInQue = static_cast<std::uint32_t>(n) + (pb != nullptr ? pb->count.load(std::memory_order_acquire) : 0);
    }
    if (pcbOutQue != nullptr) {
        if (ioctl(h, TIOCOUTQ, &n) != 0) {
            return Fail();
        }
        // Asked by the writing thread only: the tail is its own.
        const PortBuffers* pb = FindBuffers(h);
        *pcbOutQue = static_cast<std::uint32_t>(n) + static_cast<std::uint32_t>(pb != nullptr ? pb->TailLeft() : 0);
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

int OsWrite(OsHandle h, const void* pBuf, std::uint32_t cb) {
    const auto* p = static_cast<const unsigned char*>(pBuf);
    PortBuffers* pb = FindBuffers(h);
    if (pb == nullptr) {
        return WriteThrough(h, p, cb);
    }
    if (!PushTail(h, *pb)) {
        return Fail();
    }
    if (pb->TailLeft() > 0) {
        tLastError = ERROR_BUSY;  // the line still owes the last write: this one is dropped whole
        return 0;
    }
    const ssize_t n = WriteOnce(h, p, cb);
    if (n == static_cast<ssize_t>(cb)) {
        return 1;
    }
    if (n < 0 && errno != EAGAIN) {
        return Fail();  // nothing taken
    }
    // The line has no room for all of it now: the rest is kept and goes out first
    // as room appears, so the frame reaches the line whole.
    const std::size_t taken = static_cast<std::size_t>(std::max<ssize_t>(n, 0));
    pb->tail.assign(p + taken, p + cb);
    pb->tailHead = 0;
    tLastError = ERROR_IO_PENDING;
    return 0;
}

void OsContinueWrite(OsHandle h) {
    PortBuffers* pb = FindBuffers(h);
    if (pb != nullptr && pb->TailLeft() > 0) {
        PushTail(h, *pb);
    }
}

std::uint32_t OsLastError() {
    return tLastError;
}

std::uint32_t OsWindowsError(std::uint32_t code) {
    switch (code) {
    case ERROR_IO_PENDING:
    case ERROR_BUSY: return code;  // the layer's own outcomes
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
    return code == ENOENT;  // a missing file, or a missing folder on its path
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
    // A write tail is a write in progress: purging does not cut it short.
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
    // Only arriving bytes have a counterpart worth waking for: a terminal reports
    // room to write, not an empty transmitter. epoll may be changed while the
    // thread waits in it.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.fd = m->hCom;
    if ((dwMask & EV_RXCHAR) != 0) {
        if (epoll_ctl(m->epfd, EPOLL_CTL_ADD, m->hCom, &ev) != 0 && errno != EEXIST) {
            return Fail();
        }
    } else if (epoll_ctl(m->epfd, EPOLL_CTL_DEL, m->hCom, nullptr) != 0 && errno != ENOENT) {
        return Fail();
    }
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
