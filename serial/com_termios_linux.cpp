// The OS layer on Linux, its line settings: a DCB as termios (and termios2 for
// rates of their own), the modem lines it sets and RS-485 mode for RTS toggling.
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

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

// Records errno as OsLastError() and returns 0 (com_os_linux.cpp).
int OsFailWithErrno();

namespace {

int Fail() {
    return OsFailWithErrno();
}

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

bool Rs485Enabled(int fd) {
    serial_rs485 rs{};
    return ioctl(fd, TIOCGRS485, &rs) == 0 && (rs.flags & SER_RS485_ENABLED) != 0;
}

}  // namespace

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

