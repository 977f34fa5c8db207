// The serial port layer over its POSIX OS layer, on pty pairs: what the line
// settings become, transfers, queues and the modem-line calls a pty refuses.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "serial/com_line.h"
#include "serial/com_os.h"
#include "serial/com_port.h"
#include "serial/com_state.h"
#include "tests/support/pty_link.h"

namespace {

using namespace testsupport;

// A pty pair with COM2 in a fresh current directory pointing at its slave.
class SerialPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_symlink(link_.slavePath(), dir_ / "COM2");
        oldCwd_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    void TearDown() override {
        ComClose();
        std::filesystem::current_path(oldCwd_);
    }
    termios Settings() const {
        termios tio{};
        tcgetattr(link_.slave(), &tio);
        return tio;
    }
    // Sends bytes from the host end and waits until the port counts them all.
    void HostSends(const Bytes& bytes, std::uint32_t expectWaiting) {
        WriteAll(link_.master(), bytes);
        const auto deadline = Clock::now() + 5s;
        while (ComRxCount() < expectWaiting && Clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(ComRxCount(), expectWaiting);
    }

    TempDir dir_;
    PtyPair link_;
    std::filesystem::path oldCwd_;
};

TEST_F(SerialPtyTest, OpenSetsTheLineRawAtTheRequestedSettings) {
    termios cooked = Settings();
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag |= CRTSCTS;
    tcsetattr(link_.slave(), TCSANOW, &cooked);

    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    termios tio = Settings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    // A pty always carries 8 bits without a parity bit (the kernel clears CSIZE and
    // PARENB on it); the stop bits and the parity kind are what it keeps.
    const struct {
        int parity;
        int stopBits;
        tcflag_t flags;
    } cases[] = {{'E', 2, CSTOPB}, {'O', 1, PARODD}, {'M', 1, PARODD | CMSPAR}, {'S', 2, CMSPAR | CSTOPB},
                 {'o', 1, 0}, {'N', 2, CSTOPB}};
    for (const auto& c : cases) {
        ASSERT_EQ(ComOpen(2, 9600, c.parity, 7, c.stopBits), 0);
        tio = Settings();
        EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
        EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR | CSTOPB), c.flags) << char(c.parity) << c.stopBits;
    }
}

TEST_F(SerialPtyTest, OpenFailsCleanlyOnBadSettings) {
    EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 3), -1);
    EXPECT_EQ(ComOpen(2, 0, 'N', 8, 1), -1);  // no line rate at all
    EXPECT_EQ(ComOpen(2, 115200, 'N', 9, 1), -1);
    EXPECT_EQ(ComPort.hCom, INVALID_HANDLE_VALUE);
    // Nothing was left holding the port.
    EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
}

TEST_F(SerialPtyTest, AnyRateTheDriverTakesIsSet) {
    // 12345 has no B-constant: it is set as a rate of its own.
    ASSERT_EQ(ComOpen(2, 12345, 'N', 8, 1), 0);
    const termios tio = Settings();
    EXPECT_EQ(tio.c_cflag & CBAUD, static_cast<tcflag_t>(CBAUDEX));  // BOTHER: the rate is in bits per second
}

std::size_t Entries(const char* dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++n;
    }
    return n;
}

TEST_F(SerialPtyTest, OpenThatFailsLeavesNoDescriptorOrThreadBehind) {
    TempDir other;
    { std::ofstream(other / "plain") << "not a terminal"; }
    std::filesystem::create_directory(other / "dir");
    const std::size_t descriptors = Entries("/proc/self/fd");
    const std::size_t threads = Entries("/proc/self/task");
    for (const std::string& target : {other / "plain", other / "dir"}) {
        if (target == other / "dir" && access("/dev/ttyS1", F_OK) == 0) {
            continue;  // COM2 falls back to this device
        }
        std::filesystem::remove(dir_ / "COM2");
        std::filesystem::create_symlink(target, dir_ / "COM2");
        EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 1), -1) << target;
        EXPECT_EQ(Entries("/proc/self/fd"), descriptors) << target;
        EXPECT_EQ(Entries("/proc/self/task"), threads) << target;
    }
}

// With standard input, output and error closed, the port and its monitor take
// other numbers: console text must never reach the line, nor the line the keys.
TEST_F(SerialPtyTest, PortNeverTakesTheNumberOfAClosedStandardStream) {
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) {
        saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 10);
        close(fd);
    }
    const int opened = ComOpen(2, 115200, 'N', 8, 1);
    bool standardStreamTaken = false;
    for (int fd = 0; fd < 3; ++fd) {
        standardStreamTaken = standardStreamTaken || fcntl(fd, F_GETFD) != -1;
    }
    ComClose();
    for (int fd = 0; fd < 3; ++fd) {
        if (saved[fd] >= 0) {
            dup2(saved[fd], fd);
            close(saved[fd]);
        }
    }
    ASSERT_EQ(opened, 0);
    EXPECT_FALSE(standardStreamTaken);
}

TEST_F(SerialPtyTest, PortIsExclusiveWhileOpen) {
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    const OsHandle second = OsOpen("COM2", OsOpenMode::Exclusive);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    OsClose(second);
    ComClose();
    const OsHandle again = OsOpen("COM2", OsOpenMode::Exclusive);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    OsClose(again);
}

TEST_F(SerialPtyTest, ByteTransferBothWays) {
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    EXPECT_EQ(ComReadByte(), -1);  // at once, without waiting
    HostSends({0x02, 0x00, 0x11, 0x13, 0x0D, 0x0A, 0xFF}, 7);
    EXPECT_EQ(ComReadByte(), 0x02);
    EXPECT_EQ(ComRxCount(), 6u);
    Collector host(link_.master());
    const Bytes reply = {0x12, 0x00, 0x11, 0x13, 0x0A, 0x0D, 0xFF, 0x13, 0x00};
    EXPECT_EQ(ComWrite(reply.data(), static_cast<std::uint32_t>(reply.size())), 1);
    ASSERT_TRUE(host.waitForSize(reply.size(), 5s));
    EXPECT_EQ(host.bytes(), reply);
}

TEST_F(SerialPtyTest, WritesAreWholeOrNotAtAll) {
    // The host reads nothing for a while, so the link fills up. ComWrite never
    // waits: a frame the line takes (at once, or in part with the rest kept) arrives
    // whole and in order; a frame refused while the line still owes one leaves no
    // trace.
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    constexpr int kFrames = 20000;  // far more than the link holds
    Bytes frame(9);
    int sent = 0;
    int pending = 0;
    int refused = 0;
    for (int i = 0; i < kFrames; ++i) {
        for (std::size_t j = 0; j < frame.size(); ++j) {
            frame[j] = static_cast<std::uint8_t>(sent * 9 + static_cast<int>(j));
        }
        const int r = ComWrite(frame.data(), 9);
        if (r == 1 || r == 997) {
            ++sent;
            pending += r == 997;
        } else {
            ASSERT_EQ(r, 170) << "frame " << i;
            ++refused;
        }
    }
    ASSERT_GT(refused, 0) << "the link never filled up";
    ASSERT_GT(pending, 0);
    // The host reads again. The caller only waits for the output queue to empty:
    // the held bytes move on without its help.
    Collector host(link_.master());
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (ComTxBusy() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(ComTxCount(), 0u);
    ASSERT_TRUE(host.waitForSize(static_cast<std::size_t>(sent) * 9, 5s));
    const Bytes got = host.bytes();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(sent) * 9);
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], static_cast<std::uint8_t>(i)) << "byte " << i;
    }
}

// The same rule for a line a program holds of its own (zolhost's), which offers
// what is held again itself: a write the line took only in part is held and goes
// on when offered again; while bytes are held a write takes none of its own. The
// host that reads at last finds every frame taken, whole and in order.
TEST_F(SerialPtyTest, LineWritesAreWholeOrNotAtAllAndHeldBytesGoOnWhenOfferedAgain) {
    ComLine* line = ComLineOpen((dir_ / "COM2").c_str(), ComLineSettings{115200, 'N', 8, 1}, ComLineMode::Exclusive);
    ASSERT_NE(line, nullptr);
    std::uint32_t sent = 0;  // frames taken
    bool held = false;
    for (int i = 0; i < 20000 && !held; ++i) {
        Bytes frame(9);
        for (std::size_t j = 0; j < frame.size(); ++j) {
            frame[j] = static_cast<std::uint8_t>(sent * 9 + j);
        }
        std::uint32_t taken = 0;
        const ComIo r = ComLineWrite(line, frame.data(), 9, &taken);
        ASSERT_TRUE(r == ComIo::Done || r == ComIo::WouldBlock) << "frame " << i;
        ASSERT_EQ(taken, 9u) << "frame " << i;  // taken whole, or the rest held
        ++sent;
        held = r == ComIo::WouldBlock;
    }
    ASSERT_TRUE(held) << "the link never filled up";
    const std::uint8_t more[9] = {};
    std::uint32_t taken = 1;
    EXPECT_EQ(ComLineWrite(line, more, 9, &taken), ComIo::WouldBlock);
    EXPECT_EQ(taken, 0u);
    Collector host(link_.master());
    ComIo r = ComIo::WouldBlock;
    for (const auto deadline = Clock::now() + 5s; r == ComIo::WouldBlock && Clock::now() < deadline;) {
        std::this_thread::sleep_for(1ms);
        r = ComLineWrite(line, nullptr, 0, &taken);  // nothing new: the held bytes go on
    }
    EXPECT_EQ(r, ComIo::Done);
    ASSERT_TRUE(host.waitForSize(sent * 9, 5s));
    const Bytes got = host.bytes();
    ASSERT_EQ(got.size(), sent * 9);
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], static_cast<std::uint8_t>(i)) << "byte " << i;
    }
    ComLineClose(line);
}

TEST_F(SerialPtyTest, PurgeDropsHeldOutputWithTheDriverQueueLeavingNoPieceOfAFrame) {
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    const Bytes frame = {0x12, 1, 2, 3, 4, 5, 6, 0x13, 0xC5};
    int r = 1;
    for (int i = 0; i < 20000 && r != 170; ++i) {
        r = ComWrite(frame.data(), 9);
    }
    ASSERT_EQ(r, 170) << "the link never filled up";
    EXPECT_NE(ComPurge(), 0);
    EXPECT_EQ(ComTxCount(), 0u);
    // The loop polls on; nothing held may follow the dropped head.
    for (int i = 0; i < 50; ++i) {
        ComRxCount();
        std::this_thread::sleep_for(1ms);
    }
    Collector host(link_.master());
    EXPECT_EQ(ComWrite(frame.data(), 9), 1);
    ASSERT_TRUE(host.waitFor([](const Bytes& b) { return b.size() >= 9 && b.size() % 9 == 0; }, 5s));
    std::this_thread::sleep_for(50ms);
    const Bytes got = host.bytes();
    ASSERT_EQ(got.size() % 9, 0u) << got.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i], frame[i % 9]) << "byte " << i;
    }
}

// Only a name that is not there at all counts as missing, the one case where
// COM<n> is tried again under the native device's name.
TEST_F(SerialPtyTest, OnlyANameThatIsNotThereCountsAsMissing) {
    TempDir other;
    std::filesystem::create_directory(other / "dir");
    std::filesystem::create_symlink(other / "unplugged/ttyUSB0", other / "dangling");
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);  // COM2 is held
    const std::pair<std::string, bool> names[] = {
        {other / "absent", true}, {other / "nodir/COM2", true},
        {other / "dangling", false}, {other / "dir", false},
        {"COM2", false},
    };
    for (const auto& [name, missing] : names) {
        EXPECT_EQ(OsOpen(name.c_str(), OsOpenMode::Exclusive), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(OsNameMissing(OsLastError()), missing) << name << ": errno " << OsLastError();
    }
    // Refusals a test run as root cannot provoke: a port held under TIOCEXCL, no
    // permission, a loop of links, a device that has gone.
    for (const int code : {EBUSY, EACCES, EPERM, EWOULDBLOCK, ELOOP, EISDIR, ENODEV, ENXIO, EIO, ENOTDIR}) {
        EXPECT_FALSE(OsNameMissing(static_cast<std::uint32_t>(code))) << std::strerror(code);
    }
    ComClose();
    // A dangling COM2 fails the open; no other device is tried.
    std::filesystem::remove(dir_ / "COM2");
    std::filesystem::create_symlink(other / "dangling", dir_ / "COM2");
    EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 1), -1);
}

TEST_F(SerialPtyTest, WriteFailuresReadAsWindowsCodesNeverAsSuccess) {
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    link_.closeMaster();  // the other end has gone: the kernel says EIO
    const Bytes reply = {0x12, 0x00, 0, 0, 0, 0, 0, 0x13, 0xDC};
    EXPECT_EQ(ComWrite(reply.data(), static_cast<std::uint32_t>(reply.size())), 1167);  // ERROR_DEVICE_NOT_CONNECTED
    ComClose();
    EXPECT_EQ(ComWrite(reply.data(), static_cast<std::uint32_t>(reply.size())), 6);  // ERROR_INVALID_HANDLE
}

TEST_F(SerialPtyTest, OpenDeviceKeepsTheDeviceSettings) {
    termios mine = Settings();
    cfsetospeed(&mine, B9600);
    cfsetispeed(&mine, B9600);
    mine.c_cflag |= CSTOPB | PARENB;
    tcsetattr(link_.slave(), TCSANOW, &mine);
    const termios before = Settings();

    ASSERT_EQ(ComOpenDevice(link_.slavePath().c_str()), 0);
    const termios after = Settings();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));

    // Shared: another program may open it too.
    const int other = open(link_.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(other, 0);
    close(other);

    EXPECT_EQ(ComOpenDevice("/nonexistent/tty"), -1);  // one port at a time
    ComClose();
    EXPECT_EQ(ComOpenDevice("/nonexistent/tty"), -1);
    EXPECT_EQ(ComPort.hCom, INVALID_HANDLE_VALUE);
}

TEST_F(SerialPtyTest, BlockReadsTakeWhatIsAskedAndLeaveTheRest) {
    for (const bool byPath : {false, true}) {
        if (byPath) {
            ASSERT_EQ(ComOpenDevice(link_.slavePath().c_str()), 0);
        } else {
            ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
        }
        HostSends({'a', 'b', 'c', 'd', 'e'}, 5);
        char buf[8] = {};
        EXPECT_EQ(ComRead(buf, 0), -1);
        EXPECT_EQ(ComRead(buf, 3), 0);
        EXPECT_EQ(std::string(buf, 3), "abc");
        EXPECT_EQ(ComRxCount(), 2u);
        EXPECT_EQ(ComRead(buf, 2), 0);
        EXPECT_EQ(ComRead(buf, 1), -1);
        ComClose();
    }
}

TEST_F(SerialPtyTest, ExclusivePortReadsNeverWait) {
    // Asking for more than is waiting takes what is there and returns at once.
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    HostSends({'x', 'y'}, 2);
    char buf[16] = {};
    EXPECT_EQ(ComRead(buf, sizeof buf), 0);
    EXPECT_EQ(std::string(buf, 2), "xy");
    EXPECT_EQ(ComRxCount(), 0u);
}

TEST_F(SerialPtyTest, BytesReadAheadStillCountAndComeOutInOrder) {
    // One-byte reads may take more from the port than they hand out; what they
    // hold stays part of the input queue for every other call.
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    HostSends({1, 2, 3, 4, 5}, 5);
    EXPECT_EQ(ComReadByte(), 1);
    EXPECT_EQ(ComRxCount(), 4u);
    EXPECT_EQ(ComRxReady(), 1);
    HostSends({6, 7}, 6);
    std::uint8_t buf[8] = {};
    EXPECT_EQ(ComRead(buf, 5), 0);
    EXPECT_EQ(Bytes(buf, buf + 5), (Bytes{2, 3, 4, 5, 6}));
    EXPECT_EQ(ComReadByte(), 7);
    EXPECT_EQ(ComReadByte(), -1);

    HostSends({8, 9, 10}, 3);
    EXPECT_EQ(ComReadByte(), 8);
    EXPECT_NE(ComPurge(), 0);
    EXPECT_EQ(ComRxCount(), 0u);
    EXPECT_EQ(ComReadByte(), -1);

    // Closing drops what was held, as closing a serial port drops its queues; the
    // next open starts afresh.
    HostSends({11, 12}, 2);
    EXPECT_EQ(ComReadByte(), 11);
    ComClose();
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    EXPECT_EQ(ComRxCount(), 0u);
}

TEST_F(SerialPtyTest, PurgeAndOutputQueue) {
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    HostSends({1, 2, 3, 4}, 4);
    EXPECT_NE(ComPurge(), 0);
    EXPECT_EQ(ComRxCount(), 0u);
    EXPECT_EQ(ComReadByte(), -1);
    EXPECT_NE(ComWriteByte(0x141), 0);
    Collector host(link_.master());
    ASSERT_TRUE(host.waitForSize(1, 5s));
    EXPECT_EQ(host.bytes(), Bytes{0x41});
    EXPECT_EQ(ComTxBusy(), ComTxCount() > 0 ? 1 : 0);
}

TEST_F(SerialPtyTest, ModemLineCallsOnAPtyFailQuietly) {
    // A pty has no modem lines: the platform refuses, the layer passes that on.
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    EXPECT_EQ(ComSetDtr(1), 0);
    EXPECT_EQ(ComSetDtr(0), 0);
    EXPECT_EQ(ComReadCts(), 0);
    EXPECT_EQ(ComReadDsr(), 0);
    ComSetRts(1);
    EXPECT_EQ(ComPort.rtsLevel, 1);
    ComSetRts(2);  // no RS-485 mode on a pty: refused, recorded low
    EXPECT_EQ(ComPort.rtsLevel, 0);
    EXPECT_NE(ComBreakOn(), 0);  // a pty accepts a break and ignores it
    EXPECT_NE(ComBreakOff(), 0);
    // The port still works.
    HostSends({7}, 1);
    EXPECT_EQ(ComReadByte(), 7);
}

TEST_F(SerialPtyTest, ReopenComesBackWithTheSavedSettings) {
    ASSERT_EQ(ComOpen(2, 9600, 'O', 7, 2), 0);
    termios tio = Settings();
    cfsetospeed(&tio, B1200);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARODD | CSTOPB);
    tcsetattr(link_.slave(), TCSANOW, &tio);
    ASSERT_EQ(ComReopen(), 0);
    tio = Settings();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));
}

}  // namespace
