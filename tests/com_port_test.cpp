// The serial port layer's rules, checked call by call on the recording fake.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "emulator/frames.h"
#include "serial/com_port.h"
#include "serial/com_state.h"
#include "tests/fake_os.h"

namespace {

using Calls = std::vector<std::string>;

class ComPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ComClose();
        fake::Reset();
        ComPort = ComPortState{};
    }
    void TearDown() override {
        ComClose();
        EXPECT_EQ(fake::OpenHandles(), 0);
        EXPECT_EQ(fake::RunningMonitors(), 0);
    }
    static void ExpectClosed() {
        EXPECT_EQ(ComPort.hCom, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ComPort.hThread, nullptr);
        EXPECT_EQ(fake::OpenHandles(), 0);
        EXPECT_EQ(fake::RunningMonitors(), 0);
    }
    // Opens COM2 and forgets the calls of the open.
    static fake::Device& OpenCom2() {
        fake::Device& d = fake::AddDevice("COM2");
        EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
        fake::ClearCalls();
        return d;
    }
};

TEST_F(ComPortTest, OpenConfiguresTheLineFromScratchAndStartsTheMonitor) {
    fake::Device& d = fake::AddDevice("COM2");
    d.dcb.fOutX = 1;  // left over from an earlier user: must not survive
    d.dcb.fOutxCtsFlow = 1;
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    EXPECT_EQ(fake::OpenHandles(), 1);
    const Calls calls = fake::Calls();
    EXPECT_EQ(calls.front(), "open COM2 exclusive");
    EXPECT_EQ(calls.back(), "monitor raise");  // the running monitor, at its raised priority
    EXPECT_EQ(d.dcb.DCBlength, 28u);
    EXPECT_EQ(d.dcb.BaudRate, 115200u);
    EXPECT_EQ(d.dcb.fBinary, 1u);
    EXPECT_EQ(d.dcb.ByteSize, 8);
    EXPECT_EQ(d.dcb.fParity, 0u);
    EXPECT_EQ(d.dcb.Parity, NOPARITY);
    EXPECT_EQ(d.dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.dcb.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(d.dcb.fDtrControl, DTR_CONTROL_DISABLE);
    EXPECT_EQ(d.dcb.fOutX + d.dcb.fInX + d.dcb.fOutxCtsFlow + d.dcb.fOutxDsrFlow + d.dcb.fNull, 0u);
    EXPECT_EQ(d.dcb.XonChar + d.dcb.XoffChar + d.dcb.EvtChar, 0);
    EXPECT_EQ(fake::RunningMonitors(), 1);
    // With no receive handler no port event is anything to the monitor: it watches
    // none.
    EXPECT_EQ(fake::MonitorMask(), 0u);
}

TEST_F(ComPortTest, ParityLettersAndTheirFallback) {
    fake::Device& d = fake::AddDevice("COM2");
    const struct {
        int letter;
        unsigned fParity;
        std::uint8_t parity;
    } cases[] = {{'E', 1, EVENPARITY}, {'M', 1, MARKPARITY}, {'N', 0, NOPARITY}, {'O', 1, ODDPARITY},
                 {'S', 1, SPACEPARITY}, {'e', 0, NOPARITY}, {'X', 0, NOPARITY}, {0, 0, NOPARITY}};
    for (const auto& c : cases) {
        ASSERT_EQ(ComOpen(2, 9600, c.letter, 7, 2), 0) << char(c.letter);
        EXPECT_EQ(d.dcb.fParity, c.fParity) << char(c.letter);
        EXPECT_EQ(d.dcb.Parity, c.parity) << char(c.letter);
        EXPECT_EQ(d.dcb.ByteSize, 7);
        EXPECT_EQ(d.dcb.StopBits, TWOSTOPBITS);
    }
}

TEST_F(ComPortTest, SecondNameFormIsTriedWhenTheFirstFails) {
    fake::AddDevice("/dev/ttyS2");
    ASSERT_EQ(ComOpen(3, 115200, 'N', 8, 1), 0);
    const Calls calls = fake::Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[0], "open COM3 exclusive");
    EXPECT_EQ(calls[1], "open /dev/ttyS2 exclusive");
}

TEST_F(ComPortTest, MissingOrBusyPortFailsWithNothingOpen) {
    EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 1), -1);
    EXPECT_EQ(fake::Calls(), (Calls{"open COM2 exclusive", "open /dev/ttyS1 exclusive"}));
    ExpectClosed();

    // A first name that exists but is busy is a failure, never a reason to open
    // the other device there is.
    fake::AddDevice("COM2").busy = true;
    fake::AddDevice("/dev/ttyS1");
    fake::ClearCalls();
    EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 1), -1);
    EXPECT_EQ(fake::Calls(), Calls{"open COM2 exclusive"});
    ExpectClosed();
}

TEST_F(ComPortTest, BadStopBitsOpenThePortThenCloseIt) {
    fake::AddDevice("COM2");
    for (int stopBits : {0, 3}) {
        fake::ClearCalls();
        EXPECT_EQ(ComOpen(2, 115200, 'N', 8, stopBits), -1);
        EXPECT_EQ(fake::Calls(), (Calls{"open COM2 exclusive", "setupcomm 4096 4096", "close COM2"}));
        ExpectClosed();
    }
}

TEST_F(ComPortTest, SettingsThatCannotBeAppliedCloseThePort) {
    fake::AddDevice("COM2").terminal = false;
    EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 1), -1);
    EXPECT_EQ(fake::Calls().back(), "close COM2");
    ExpectClosed();
}

TEST_F(ComPortTest, MonitorThatCannotStartClosesThePort) {
    fake::AddDevice("COM2");
    fake::FailNextMonitorStart();
    EXPECT_EQ(ComOpen(2, 115200, 'N', 8, 1), -1);
    EXPECT_EQ(fake::Calls().back(), "close COM2");
    ExpectClosed();
}

TEST_F(ComPortTest, PortNumbersBeyondEightDigitsAreRefused) {
    fake::AddDevice("COM99999999");
    fake::AddDevice("COM100000000");
    EXPECT_EQ(ComOpen(100000000, 115200, 'N', 8, 1), -1);
    EXPECT_EQ(ComOpen(4294967295u, 115200, 'N', 8, 1), -1);
    ExpectClosed();
    EXPECT_EQ(fake::Calls(), Calls{});
    EXPECT_EQ(ComOpen(99999999, 115200, 'N', 8, 1), 0);
}

TEST_F(ComPortTest, FailedOpenStillSavesItsSettingsAndResetsRts) {
    OpenCom2();
    ComSetRts(1);
    EXPECT_EQ(ComPort.rtsLevel, 1);
    EXPECT_EQ(ComOpen(7, 19200, 'E', 7, 2), -1);
    EXPECT_EQ(ComPort.nPort, 7u);
    EXPECT_EQ(ComPort.dwBaud, 19200u);
    EXPECT_EQ(ComPort.cParity, 'E');
    EXPECT_EQ(ComPort.nDataBits, 7);
    EXPECT_EQ(ComPort.nStopBits, 2);
    EXPECT_EQ(ComPort.rtsLevel, kRtsNotRequested);
    ExpectClosed();  // the open port was closed first
}

TEST_F(ComPortTest, SecondOpenClosesTheFirstPortAndThreadFirst) {
    fake::AddDevice("COM1");
    OpenCom2();
    ASSERT_EQ(ComOpen(1, 9600, 'N', 8, 1), 0);
    const Calls calls = fake::Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0], "monitor stop");
    EXPECT_EQ(calls[1], "close COM2");
    EXPECT_EQ(calls[2], "open COM1 exclusive");
    EXPECT_EQ(fake::OpenHandles(), 1);
    EXPECT_EQ(fake::RunningMonitors(), 1);
}

TEST_F(ComPortTest, CloseStopsTheMonitorBeforeClosingAndIsHarmlessTwice) {
    ComClose();  // before any open
    EXPECT_EQ(fake::Calls(), Calls{});
    OpenCom2();
    ComClose();
    EXPECT_EQ(fake::Calls(), (Calls{"monitor stop", "close COM2"}));
    ComClose();
    EXPECT_EQ(fake::Calls().size(), 2u);
    ExpectClosed();
}

TEST_F(ComPortTest, MonitorReportsWaitingBytesToAHandlerAndIgnoresOtherEvents) {
    static std::vector<std::uint32_t> seen;
    seen.clear();
    fake::Device& d = OpenCom2();
    // Installed while the monitor runs: it watches arriving bytes from then on.
    ComSetRxHandler([](std::uint32_t n) { seen.push_back(n); });
    EXPECT_EQ(fake::MonitorMask() & EV_RXCHAR, EV_RXCHAR);
    d.rx = {1, 2, 3};
    fake::SignalMonitor(EV_RXCHAR);
    fake::SignalMonitor(EV_TXEMPTY);
    d.rx.clear();
    fake::SignalMonitor(EV_RXCHAR);  // nothing waiting: no call
    EXPECT_EQ(seen, std::vector<std::uint32_t>{3});
    EXPECT_EQ(d.rx.size(), 0u);
    ComSetRxHandler(nullptr);
    EXPECT_EQ(fake::MonitorMask(), 0u);
}

TEST_F(ComPortTest, ByteTransfer) {
    fake::Device& d = OpenCom2();
    EXPECT_EQ(ComReadByte(), -1);
    EXPECT_EQ(ComRxReady(), 0);
    d.rx = {0x00, 0xFF, 3, 4, 5, 6, 7};
    EXPECT_EQ(ComRxCount(), 7u);
    EXPECT_EQ(ComRxReady(), 1);
    EXPECT_EQ(ComReadByte(), 0x00);
    EXPECT_EQ(ComReadByte(), 0xFF);
    EXPECT_EQ(ComRxCount(), 5u);

    const std::uint8_t frame[] = {0x12, 0x13, 0x00, 0x11};
    EXPECT_NE(ComWrite(frame, sizeof frame), 0);
    EXPECT_EQ(d.tx, std::vector<std::uint8_t>(frame, frame + sizeof frame));
    d.writePending = true;
    EXPECT_EQ(ComWrite(frame, sizeof frame), static_cast<int>(ERROR_IO_PENDING));
}

TEST_F(ComPortTest, StatusQueriesOnAClosedPortReportNothing) {
    EXPECT_EQ(ComRxCount(), 0u);
    EXPECT_EQ(ComRxReady(), 0);
    EXPECT_EQ(ComReadByte(), -1);
    EXPECT_EQ(ComTxCount(), 0u);
    EXPECT_EQ(ComReadCts(), 0);
}

// Further port operations.

TEST_F(ComPortTest, OpenDeviceUsesThePathAsGivenSharedKeepingItsSettings) {
    fake::Device& d = fake::AddDevice("/dev/ttyUSB0");
    d.dcb.BaudRate = 4800;
    ComPort.rtsLevel = 0;
    ASSERT_EQ(ComOpenDevice("/dev/ttyUSB0"), 0);
    EXPECT_EQ(fake::Calls(),
              (Calls{"open /dev/ttyUSB0 shared", "setupcomm 4096 4096", "monitor start", "monitor raise"}));
    EXPECT_EQ(d.dcb.BaudRate, 4800u);
    EXPECT_EQ(ComPort.rtsLevel, kRtsNotRequested);
    EXPECT_EQ(ComPort.nPort, 0u);  // not a saved setting
}

TEST_F(ComPortTest, OpenDeviceFailures) {
    EXPECT_EQ(ComOpenDevice("/nowhere"), -1);
    EXPECT_EQ(fake::Calls(), Calls{"open /nowhere shared"});
    ExpectClosed();

    fake::AddDevice("/dev/ttyUSB0");
    fake::FailNextMonitorStart();
    EXPECT_EQ(ComOpenDevice("/dev/ttyUSB0"), -1);
    ExpectClosed();

    // One port at a time: the open one stays as it is.
    OpenCom2();
    EXPECT_EQ(ComOpenDevice("/dev/ttyUSB0"), -1);
    EXPECT_EQ(fake::Calls(), Calls{});
    EXPECT_NE(ComPort.hCom, INVALID_HANDLE_VALUE);
}

TEST_F(ComPortTest, ReopenUsesTheSettingsOfTheLastOpen) {
    fake::Device& d = fake::AddDevice("COM3");
    ASSERT_EQ(ComOpen(3, 115200, 'E', 7, 2), 0);
    d.dcb = DCB{};
    fake::ClearCalls();
    ASSERT_EQ(ComReopen(), 0);
    EXPECT_EQ(fake::Calls()[0], "monitor stop");
    EXPECT_EQ(fake::Calls()[1], "close COM3");
    EXPECT_EQ(d.dcb.BaudRate, 115200u);
    EXPECT_EQ(d.dcb.Parity, EVENPARITY);
    EXPECT_EQ(d.dcb.ByteSize, 7);
    EXPECT_EQ(d.dcb.StopBits, TWOSTOPBITS);

    // After an open by path, the port of the last ComOpen comes back.
    ComClose();
    fake::AddDevice("/dev/ttyUSB0");
    ASSERT_EQ(ComOpenDevice("/dev/ttyUSB0"), 0);
    fake::ClearCalls();
    ASSERT_EQ(ComReopen(), 0);
    EXPECT_EQ(fake::Calls()[1], "close /dev/ttyUSB0");
    EXPECT_EQ(fake::Calls()[2], "open COM3 exclusive");

    // And after a failed open, its settings are the ones tried again.
    EXPECT_EQ(ComOpen(9, 1200, 'O', 8, 1), -1);
    fake::ClearCalls();
    EXPECT_EQ(ComReopen(), -1);
    EXPECT_EQ(fake::Calls(), (Calls{"open COM9 exclusive", "open /dev/ttyS8 exclusive"}));
}

TEST_F(ComPortTest, ReopenBeforeAnyOpenTriesPortZeroAndLeavesNothingOpen) {
    fake::AddDevice("/dev/ttyUSB0");
    ASSERT_EQ(ComOpenDevice("/dev/ttyUSB0"), 0);
    EXPECT_EQ(ComReopen(), -1);
    ExpectClosed();

    fake::AddDevice("COM0");  // where a port 0 exists, 0 stop bits close it again
    fake::ClearCalls();
    EXPECT_EQ(ComReopen(), -1);
    EXPECT_EQ(fake::Calls(), (Calls{"open COM0 exclusive", "setupcomm 4096 4096", "close COM0"}));
    ExpectClosed();
}

TEST_F(ComPortTest, BlockReads) {
    fake::Device& d = OpenCom2();
    char buf[8] = {};
    EXPECT_EQ(ComRead(buf, sizeof buf), -1);
    d.rx = {'a', 'b', 'c', 'd', 'e'};
    EXPECT_EQ(ComRead(buf, 0), -1);
    EXPECT_EQ(ComRxCount(), 5u);
    EXPECT_EQ(ComRead(buf, 3), 0);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(ComRxCount(), 2u);
    d.readsBeforeFailure = 0;
    EXPECT_EQ(ComRead(buf, 2), -1);
}

TEST_F(ComPortTest, SingleByteWritesSendTheLowEightBits) {
    fake::Device& d = OpenCom2();
    EXPECT_NE(ComWriteByte(0x141), 0);
    EXPECT_NE(ComWriteByte(-1), 0);
    EXPECT_EQ(d.tx, (std::vector<std::uint8_t>{0x41, 0xFF}));
    d.writePending = true;
    EXPECT_EQ(ComWriteByte(0x41), 0);
}

// Closing with nothing held by the layer but bytes still in the driver's queue
// (a line that does not drain) purges that queue before the port closes; with an
// empty queue nothing is purged.
TEST_F(ComPortTest, CloseEmptiesTheDriversQueueOnlyWhenBytesAreLeftInIt) {
    for (const std::uint32_t queued : {7u, 0u}) {
        fake::Device& d = OpenCom2();
        d.txQueued = queued;
        fake::ClearCalls();
        ComClose();
        const Calls calls = fake::Calls();
        const auto purge = std::find(calls.begin(), calls.end(), "purge " + std::to_string(PURGE_TXCLEAR));
        const auto close = std::find(calls.begin(), calls.end(), "close COM2");
        ASSERT_NE(close, calls.end()) << ::testing::PrintToString(calls);
        EXPECT_EQ(purge != calls.end(), queued > 0) << ::testing::PrintToString(calls);
        EXPECT_TRUE(purge == calls.end() || purge < close) << ::testing::PrintToString(calls);
        fake::Reset();
    }
}

TEST_F(ComPortTest, OutputQueueAndPurge) {
    fake::Device& d = OpenCom2();
    EXPECT_EQ(ComTxBusy(), 0);
    EXPECT_EQ(ComTxCount(), 0u);
    d.txQueued = 12;
    EXPECT_EQ(ComTxBusy(), 1);
    EXPECT_EQ(ComTxCount(), 12u);
    d.rx = {1, 2, 3};
    EXPECT_NE(ComPurge(), 0);
    EXPECT_EQ(fake::Calls(), Calls{"purge " + std::to_string(PURGE_TXCLEAR | PURGE_RXCLEAR)});
    EXPECT_EQ(ComRxCount(), 0u);
    EXPECT_EQ(ComTxCount(), 0u);
    ComClose();
    EXPECT_EQ(ComPurge(), 0);
}

// The output rule, on a line that takes bytes at 115200 baud as a Windows driver
// does: one write in progress, nothing more taken until it is on the line.
constexpr std::uint32_t kBytesPerSecondAt115200 = 11520;

// Polls ComTxBusy alone, as a caller waiting for the output queue to empty would.
bool TxDrains(std::chrono::milliseconds limit) {
    const auto tEnd = std::chrono::steady_clock::now() + limit;
    while (ComTxBusy() != 0) {
        if (std::chrono::steady_clock::now() >= tEnd) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return ComTxCount() == 0;
}

TEST_F(ComPortTest, BurstOfRequestsOnABusyLineIsAnsweredInFull) {
    fake::Device& d = OpenCom2();
    d.lineBytesPerSecond = kBytesPerSecondAt115200;
    for (int i = 0; i < 100; ++i) {
        const RequestFrame req = MakeRequest(static_cast<std::uint8_t>(i));
        d.rx.insert(d.rx.end(), req.begin(), req.end());
    }
    int answered = 0;
    while (ReceiveRequest() == kRequestOk) {
        EA = static_cast<std::uint8_t>(TORA ^ 0xFF);
        SendReply();
        ++answered;
    }
    ASSERT_EQ(answered, 100);
    ASSERT_TRUE(TxDrains(std::chrono::seconds(5)));
    const std::vector<std::uint8_t> sent = fake::Written("COM2");
    ASSERT_EQ(sent.size(), 900u);
    for (int i = 0; i < 100; ++i) {
        const ReplyFrame want = MakeReply(static_cast<std::uint8_t>(i ^ 0xFF));
        EXPECT_TRUE(std::equal(want.begin(), want.end(), sent.begin() + i * 9)) << "reply " << i;
    }
}

TEST_F(ComPortTest, OutputBeyondTheQueueIsDroppedWholeAndAPurgeDropsWhatIsHeld) {
    fake::Device& d = OpenCom2();
    d.lineBytesPerSecond = kBytesPerSecondAt115200;
    // The line is held off while the frames are written, then goes on.
    fake::SetLineStopped("COM2", true);
    const auto fill = [](std::uint8_t first) {
        // Frame i carries i in every byte: a cut or reordered frame shows.
        std::vector<int> results;
        for (int i = 0; i < 600; ++i) {
            const std::vector<std::uint8_t> frame(9, static_cast<std::uint8_t>(first + i));
            results.push_back(ComWrite(frame.data(), 9));
        }
        return results;
    };
    const std::vector<int> results = fill(0);
    // The first goes to the driver; 455 frames (4095 bytes) are held; the rest are
    // refused whole, and nothing refused is sent after all. A one-byte frame still
    // fits, which makes 4096 held bytes; one byte more does not.
    for (int i = 0; i < 600; ++i) {
        EXPECT_EQ(results[i], i <= 455 ? 997 : 170) << "frame " << i;
    }
    const std::uint8_t last = 456 & 0xFF;
    EXPECT_EQ(ComWrite(&last, 1), 997);
    EXPECT_EQ(ComWrite(&last, 1), 170);
    EXPECT_EQ(ComTxCount(), 9u + 4096);
    EXPECT_EQ(ComTxBusy(), 1);
    EXPECT_NE(fake::MonitorMask() & kOsEvWritable, 0u);
    fake::SetLineStopped("COM2", false);
    ASSERT_TRUE(TxDrains(std::chrono::seconds(5)));
    std::vector<std::uint8_t> sent = fake::Written("COM2");
    ASSERT_EQ(sent.size(), 456u * 9 + 1);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i], static_cast<std::uint8_t>(i / 9)) << "byte " << i;
    }
    // Nothing held: the monitor no longer waits for room.
    EXPECT_EQ(fake::MonitorMask() & kOsEvWritable, 0u);

    // A purge drops the held frames with the driver's queue; the write in progress
    // ends as it began.
    fake::SetLineStopped("COM2", true);
    fill(0x80);
    const std::size_t before = fake::Written("COM2").size();
    EXPECT_NE(ComPurge(), 0);
    EXPECT_EQ(ComTxCount(), 9u);
    fake::SetLineStopped("COM2", false);
    ASSERT_TRUE(TxDrains(std::chrono::seconds(1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fake::Written("COM2").size(), before);
    EXPECT_EQ(before, sent.size() + 9);
}

TEST_F(ComPortTest, CloseDropsWhatIsHeldAndTheNextOpenSendsNoneOfIt) {
    fake::Device& d = OpenCom2();
    d.lineBytesPerSecond = kBytesPerSecondAt115200;
    fake::SetLineStopped("COM2", true);
    const std::vector<std::uint8_t> frame(9, 0xAB);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ComWrite(frame.data(), 9), 997);
    }
    ASSERT_EQ(ComTxCount(), 27u);
    ComClose();
    EXPECT_EQ(ComTxCount(), 0u);
    EXPECT_EQ(ComTxBusy(), 0);
    fake::SetLineStopped("COM2", false);
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    const std::uint8_t fresh[2] = {0x12, 0x34};
    EXPECT_NE(ComWrite(fresh, 2), 170);
    ASSERT_TRUE(TxDrains(std::chrono::seconds(1)));
    // The frame in progress at the close, then the new bytes: the held two are gone.
    const std::vector<std::uint8_t> sent = fake::Written("COM2");
    ASSERT_EQ(sent.size(), 11u);
    EXPECT_EQ(sent[9], 0x12);
}

// A host that pipelines its requests: replies are held while the line sends, and
// the monitor moves them on with writes of its own thread, which Windows cancels
// when that thread ends. A close right after the last reply lets them reach the
// line first: every reply whole, none cut by the monitor's end.
TEST_F(ComPortTest, CloseLetsTheMonitorsWritesFinishBeforeItStops) {
    fake::Device& d = OpenCom2();
    d.lineBytesPerSecond = kBytesPerSecondAt115200;
    constexpr int kFrames = 20;  // 180 bytes: some 16 ms of the line, within the close's drain
    for (int i = 0; i < kFrames; ++i) {
        const std::vector<std::uint8_t> frame(9, static_cast<std::uint8_t>(i));
        ASSERT_NE(ComWrite(frame.data(), 9), 170) << "frame " << i;
    }
    // The monitor has handed the held replies to the driver once it stops waiting for room.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while ((fake::MonitorMask() & kOsEvWritable) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    ComClose();
    const Calls calls = fake::Calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [](const std::string& c) { return c.rfind("cut", 0) == 0; }), 0)
        << "a write of the monitor's was cut at its end";
    const std::vector<std::uint8_t> sent = fake::Written("COM2");
    ASSERT_EQ(sent.size(), kFrames * 9u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(sent[i], static_cast<std::uint8_t>(i / 9)) << "byte " << i;
    }
    ExpectClosed();
}

// A driver that takes a few bytes of each write (a pty, a UART with a small FIFO)
// and whose room is not reported meanwhile: the held bytes never run out, for a
// million replies. The storage stays near the bound; every reply reaches the line
// whole and in order, or is refused whole.
TEST_F(ComPortTest, HeldOutputStorageStaysBoundedOnADriverThatTakesALittleAtATime) {
    fake::Device& d = OpenCom2();
    d.takeAtMost = 4;
    d.reportsRoom = false;
    constexpr std::uint32_t kReplies = 1000000;
    std::vector<bool> accepted(kReplies);
    std::size_t maxStorage = 0;
    std::uint32_t maxCount = 0;
    for (std::uint32_t i = 0; i < kReplies; ++i) {
        // The reply's number in its first three bytes, its low byte in the rest.
        std::uint8_t reply[9] = {static_cast<std::uint8_t>(i >> 16), static_cast<std::uint8_t>(i >> 8)};
        std::fill(reply + 2, reply + 9, static_cast<std::uint8_t>(i));
        const int result = ComWrite(reply, 9);
        ASSERT_TRUE(result == 1 || result == 997 || result == 170) << "reply " << i << ": " << result;
        accepted[i] = result != 170;
        if (i % 1024 == 0) {
            maxStorage = std::max(maxStorage, ComHeldStorage());
            maxCount = std::max(maxCount, ComTxCount());
        }
    }
    EXPECT_LE(maxCount, 4096u);
    EXPECT_LE(maxStorage, 4u * 4096);
    d.reportsRoom = true;
    fake::SignalMonitor(kOsEvWritable);
    ASSERT_TRUE(TxDrains(std::chrono::seconds(5)));

    const std::vector<std::uint8_t> sent = fake::Written("COM2");
    ASSERT_EQ(sent.size() % 9, 0u);
    std::uint32_t next = 0;  // replies before this one are accounted for
    for (std::size_t at = 0; at < sent.size(); at += 9) {
        const std::uint32_t n = (std::uint32_t{sent[at]} << 16) | (std::uint32_t{sent[at + 1]} << 8) | sent[at + 8];
        ASSERT_TRUE(n >= next && n < kReplies) << "reply " << n << " at byte " << at << " after " << next;
        for (; next < n; ++next) {
            ASSERT_FALSE(accepted[next]) << "reply " << next << " was taken but never sent";
        }
        ASSERT_TRUE(accepted[n]) << "reply " << n << " was refused but sent";
        ASSERT_TRUE(std::all_of(sent.begin() + at + 2, sent.begin() + at + 9,
                                [&](std::uint8_t b) { return b == static_cast<std::uint8_t>(n); }))
            << "reply " << n << " cut or mixed at byte " << at;
        ++next;
    }
    for (; next < kReplies; ++next) {
        ASSERT_FALSE(accepted[next]) << "reply " << next << " was taken but never sent";
    }
}

TEST_F(ComPortTest, OpenHoldsDtrAndRtsOffWhateverTheDeviceHadThemAt) {
    fake::Device& d = fake::AddDevice("COM2");
    d.dtr = true;
    d.rts = true;
    ASSERT_EQ(ComOpen(2, 115200, 'N', 8, 1), 0);
    EXPECT_FALSE(d.dtr);
    EXPECT_FALSE(d.rts);
}

// Modem control lines.

Calls Escapes() {
    Calls out;
    for (const std::string& c : fake::Calls()) {
        if (c.rfind("escape ", 0) == 0) {
            out.push_back(c.substr(7));
        }
    }
    return out;
}

TEST_F(ComPortTest, RtsRequestsGoOutOnlyWhenTheLevelChanges) {
    const struct {
        std::vector<std::uint32_t> codes;
        Calls sent;
    } cases[] = {
        {{0, 0}, {"CLRRTS"}},
        {{1, 129}, {"SETRTS"}},
        {{1, 3}, {"SETRTS"}},
        {{128, 0, 1}, {"CLRRTS", "SETRTS"}},
        {{5, 1}, {"SETRTS", "SETRTS"}},
        {{5, 5, 6}, {"SETRTS", "SETRTS"}},
        {{2, 0}, {}},
        {{2, 128, 1, 0}, {"SETRTS", "CLRRTS"}},
    };
    for (const auto& c : cases) {
        OpenCom2();
        for (std::uint32_t code : c.codes) {
            ComSetRts(code);
        }
        EXPECT_EQ(Escapes(), c.sent) << "codes starting " << c.codes[0] << ", count " << c.codes.size();
    }
}

TEST_F(ComPortTest, RtsToggleSwitchesTheDriverAndRecordsLow) {
    fake::Device& d = OpenCom2();
    ComSetRts(2);
    EXPECT_EQ(d.dcb.fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_EQ(d.dcb.BaudRate, 115200u);  // the rest of the settings stay
    EXPECT_EQ(fake::Calls(), (Calls{"getstate", "setstate"}));
    EXPECT_EQ(ComPort.rtsLevel, 0);

    // Refused by the driver: nothing changes, yet the level is recorded low.
    ComSetRts(1);
    d.toggleSupported = false;
    d.dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ComSetRts(2);
    EXPECT_EQ(d.dcb.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(ComPort.rtsLevel, 0);

    // The next open builds its settings afresh, toggling off.
    ASSERT_EQ(ComReopen(), 0);
    EXPECT_EQ(d.dcb.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(ComPort.rtsLevel, kRtsNotRequested);
}

TEST_F(ComPortTest, RtsLevelIsRecordedEvenWithoutAPort) {
    ComSetRts(1);
    ComSetRts(1);
    EXPECT_EQ(Escapes(), Calls{"SETRTS"});
    EXPECT_EQ(ComPort.rtsLevel, 1);
    ComClose();
    EXPECT_EQ(ComPort.rtsLevel, 1);  // closing leaves the level alone
}

TEST_F(ComPortTest, DtrAndBreakGoOutEveryTime) {
    OpenCom2();
    EXPECT_NE(ComSetDtr(7), 0);
    EXPECT_NE(ComSetDtr(7), 0);
    EXPECT_NE(ComSetDtr(0), 0);
    EXPECT_NE(ComBreakOn(), 0);
    EXPECT_NE(ComBreakOn(), 0);
    EXPECT_NE(ComBreakOff(), 0);
    EXPECT_EQ(Escapes(), (Calls{"SETDTR", "SETDTR", "CLRDTR", "SETBREAK", "SETBREAK", "CLRBREAK"}));
    ComClose();
    EXPECT_EQ(ComSetDtr(1), 0);
    EXPECT_EQ(ComBreakOff(), 0);
}

TEST_F(ComPortTest, CtsAndDsrReadTheirOwnStatusBits) {
    fake::Device& d = OpenCom2();
    const struct {
        std::uint32_t status;
        int cts, dsr;
    } cases[] = {{0, 0, 0}, {MS_CTS_ON, 1, 0}, {MS_DSR_ON, 0, 1}, {MS_CTS_ON | MS_DSR_ON | MS_RING_ON, 1, 1},
                 {MS_RING_ON | MS_RLSD_ON, 0, 0}};
    for (const auto& c : cases) {
        d.modemStatus = c.status;
        EXPECT_EQ(ComReadCts(), c.cts) << c.status;
        EXPECT_EQ(ComReadDsr(), c.dsr) << c.status;
    }
}

}  // namespace
