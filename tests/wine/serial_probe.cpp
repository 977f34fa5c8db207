// serial_probe: runs the serial port layer's further operations and modem-line
// calls against real ports on Windows (or Wine), for a driver at the other end of
// the line that supplies the bytes and checks what arrives.
//
//   serial_probe <device path> <port number> [<held line path>]
//
// The device path is opened with ComOpenDevice, then the port number with
// ComOpen, then the held line (if given) with ComLineOpen; its other end reads
// only after the probe says "drain <bytes it wrote>". One line per check on standard output: "ok <check> <detail>" or
// "FAIL <check> <detail>". Where a check needs bytes from the other end the probe
// asks for them with "want <dev|port> <hex bytes>" and waits until they are
// counted. Last line: "done <passed> <failed>"; the exit status is 0 only when no
// check failed.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "serial/com_line.h"
#include "serial/com_port.h"
#include "serial/com_state.h"

namespace {

int gPassed = 0;
int gFailed = 0;

void Say(const char* szFormat, ...) {
    std::va_list args;
    va_start(args, szFormat);
    std::vprintf(szFormat, args);
    va_end(args);
    std::fflush(stdout);
}

void Check(bool fOk, const char* szName, const std::string& detail) {
    Say("%s %s %s\n", fOk ? "ok" : "FAIL", szName, detail.c_str());
    ++(fOk ? gPassed : gFailed);
}

std::string Format(const char* szFormat, ...) {
    char sz[256];
    std::va_list args;
    va_start(args, szFormat);
    std::vsnprintf(sz, sizeof sz, szFormat, args);
    va_end(args);
    return sz;
}

std::string Hex(const void* p, std::size_t cb) {
    std::string out;
    for (std::size_t i = 0; i < cb; ++i) {
        out += Format("%02x", static_cast<const unsigned char*>(p)[i]);
    }
    return out;
}

// Asks the other end for `bytes` and waits (5 s at most) until the input queue
// holds `expectWaiting` bytes.
bool Want(const char* szWhich, const std::string& bytes, std::uint32_t expectWaiting) {
    Say("want %s %s\n", szWhich, Hex(bytes.data(), bytes.size()).c_str());
    for (int i = 0; i < 500 && ComRxCount() < expectWaiting; ++i) {
        Sleep(10);
    }
    return ComRxCount() == expectWaiting;
}

// CPU time used by the whole process, in milliseconds.
double ProcessCpuMs() {
    FILETIME ftCreate;
    FILETIME ftExit;
    FILETIME ftKernel;
    FILETIME ftUser;
    if (!GetProcessTimes(GetCurrentProcess(), &ftCreate, &ftExit, &ftKernel, &ftUser)) {
        return -1;
    }
    const auto ticks = [](const FILETIME& ft) {
        return static_cast<double>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    };
    return (ticks(ftKernel) + ticks(ftUser)) / 10000.0;
}

// CPU time the process uses over the next second, after a moment to settle.
double CpuMsOverOneSecond() {
    Sleep(100);
    const double before = ProcessCpuMs();
    Sleep(1000);
    return before < 0 ? -1 : ProcessCpuMs() - before;
}

// The last count of waiting bytes the receive handler was given.
std::atomic<std::uint32_t> gLastRxCount{0};

// Checks shared by both ways of opening: queues, purge, writes, modem lines.
// Writes on a shared port complete before they return; on an exclusive one they
// may still be in progress (the driver checks what arrives).
void QueueAndLineChecks(const char* szWhich, bool fShared) {
    const std::string tag = szWhich;

    // Block reads: 5 waiting, 3 asked for.
    const bool fGot = Want(szWhich, "ABCDE", 5);
    Check(fGot, (tag + ".five_waiting").c_str(), Format("count=%u", ComRxCount()));
    char buf[64] = {};
    int r = ComRead(buf, 3);
    Check(r == 0 && std::memcmp(buf, "ABC", 3) == 0 && ComRxCount() == 2, (tag + ".read_3_of_5").c_str(),
          Format("result=%d bytes=%s left=%u", r, Hex(buf, 3).c_str(), ComRxCount()));
    r = ComRead(buf, 0);
    Check(r == -1 && ComRxCount() == 2, (tag + ".read_0").c_str(), Format("result=%d left=%u", r, ComRxCount()));

    // Asking for more than is waiting gives what is there, and leaves no read
    // behind to swallow the next byte.
    std::memset(buf, 0, sizeof buf);
    const DWORD t0 = GetTickCount();
    r = ComRead(buf, sizeof buf);
    const DWORD ms = GetTickCount() - t0;
    Check(r == 0 && std::memcmp(buf, "DE", 2) == 0 && buf[2] == 0 && ComRxCount() == 0,
          (tag + ".read_more_than_waiting").c_str(),
          Format("result=%d bytes=%s left=%u ms=%lu", r, Hex(buf, 3).c_str(), ComRxCount(), ms));
    const bool fNext = Want(szWhich, "Z", 1);
    const int next = ComReadByte();
    Check(fNext && next == 'Z' && ComRxCount() == 0, (tag + ".next_byte_after_short_read").c_str(),
          Format("byte=%d", next));
    Check(ComReadByte() == -1 && ComRead(buf, 4) == -1, (tag + ".empty_reads").c_str(), "-1 at once");

    // Purge empties the input queue.
    const bool fFour = Want(szWhich, "wxyz", 4);
    const int fPurged = ComPurge();
    Check(fFour && fPurged != 0 && ComRxCount() == 0, (tag + ".purge").c_str(),
          Format("result=%d left=%u", fPurged, ComRxCount()));

    // Writes: a byte value's low 8 bits, then a block whose buffer is reused at once.
    const int fByte = ComWriteByte(0x141);
    Check(fByte != 0 || !fShared, (tag + ".write_byte").c_str(), Format("result=%d (0x41 sent)", fByte));
    char block[3000];
    for (std::size_t i = 0; i < sizeof block; ++i) {
        block[i] = static_cast<char>('a' + i % 26);
    }
    const int wr = ComWrite(block, sizeof block);
    std::memset(block, '#', sizeof block);  // the layer sends its own copy
    Check(wr == 1 || (!fShared && wr == 997), (tag + ".write_block").c_str(), Format("result=%d", wr));
    const std::uint32_t cbOut = ComTxCount();
    const int busy = ComTxBusy();
    Check((cbOut > 0) == (busy == 1) && (busy == 0 || busy == 1), (tag + ".tx_count_and_busy_agree").c_str(),
          Format("count=%u busy=%d", cbOut, busy));

    // Modem lines: whatever the port supports, the calls return.
    ComSetRts(1);
    ComSetRts(0);
    ComSetRts(2);
    const int dtrOn = ComSetDtr(1);
    const int dtrOff = ComSetDtr(0);
    const int brkOn = ComBreakOn();
    const int brkOff = ComBreakOff();
    const int cts = ComReadCts();
    const int dsr = ComReadDsr();
    Check((cts == 0 || cts == 1) && (dsr == 0 || dsr == 1), (tag + ".modem_lines").c_str(),
          Format("dtr_on=%d dtr_off=%d break_on=%d break_off=%d cts=%d dsr=%d rts_level=%d", dtrOn, dtrOff,
                 brkOn, brkOff, cts, dsr, static_cast<int>(ComPort.rtsLevel)));
}

}  // namespace

// A line whose other end reads nothing until told ("drain"): the line holds a
// write back and the layer a frame behind it, and the event of the write in progress (what zolhost's link waits on
// for room) stays unset until the write ends, then tells of each end with no other
// wake, until every held byte has gone.
void HeldLineChecks(const char* szPath) {
    ComLine* pLine = ComLineOpen(szPath, ComLineSettings{115200, 'N', 8, 1}, ComLineMode::Exclusive);
    Check(pLine != nullptr, "held.open", szPath);
    if (pLine == nullptr) {
        return;
    }
    const auto hRoom = reinterpret_cast<HANDLE>(ComLineWritableEvent(pLine));
    const std::string block(1024, 'h');
    unsigned long cbTotal = 0;
    std::uint32_t cbTaken = 0;
    ComIo r = ComIo::Done;
    while (r == ComIo::Done && cbTotal < (1ul << 20)) {
        r = ComLineWrite(pLine, block.data(), static_cast<std::uint32_t>(block.size()), &cbTaken);
        cbTotal += cbTaken;
    }
    // One more frame while the write is in progress: the layer holds it whole.
    const std::string frame(3000, 'h');
    const ComIo rHeld = ComLineWrite(pLine, frame.data(), static_cast<std::uint32_t>(frame.size()), &cbTaken);
    cbTotal += cbTaken;
    const bool fHeld = r == ComIo::WouldBlock && rHeld == ComIo::WouldBlock && cbTaken == frame.size() &&
                       hRoom != nullptr && WaitForSingleObject(hRoom, 300) == WAIT_TIMEOUT;
    Check(fHeld, "held.write_held",
          Format("taken=%lu result=%d then %d", cbTotal, static_cast<int>(r), static_cast<int>(rHeld)));
    Say("drain %lu\n", cbTotal);
    int nEnds = 0;
    while (r == ComIo::WouldBlock && WaitForSingleObject(hRoom, 5000) == WAIT_OBJECT_0) {
        ++nEnds;
        r = ComLineWrite(pLine, nullptr, 0, &cbTaken);
    }
    Check(fHeld && r == ComIo::Done, "held.room_event", Format("write_ends=%d result=%d", nEnds, static_cast<int>(r)));
    ComLineClose(pLine);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: serial_probe <device path> <port number> [<held line path>]\n");
        return 2;
    }
    const std::uint32_t nPort = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));

    // Opened by path: shared, its settings kept.
    const int fDev = ComOpenDevice(argv[1]);
    Check(fDev == 0, "dev.open", argv[1]);
    if (fDev == 0) {
        DCB dcb{};
        const int fState = OsGetCommState(ComPort.hCom, &dcb);
        Check(fState != 0, "dev.settings", Format("baud=%lu bytesize=%u parity=%u stopbits=%u",
                                                  static_cast<unsigned long>(dcb.BaudRate), dcb.ByteSize,
                                                  dcb.Parity, dcb.StopBits));
        QueueAndLineChecks("dev", true);
        ComClose();
    }

    // Opened by number: exclusive, 115200 8N1.
    const int fPort = ComOpen(nPort, 115200, 'N', 8, 1);
    Check(fPort == 0, "port.open", Format("COM%lu", static_cast<unsigned long>(nPort)));
    if (fPort == 0) {
        QueueAndLineChecks("port", false);

        // The monitor sleeps while bytes wait unread, with no handler and with one;
        // the handler hears how many wait.
        const bool fSix = Want("port", "012345", 6);
        const double usedAlone = CpuMsOverOneSecond();
        Check(fSix && usedAlone >= 0 && usedAlone < 200, "port.monitor_sleeps",
              Format("cpu_ms=%.0f in 1000 ms with %u bytes unread", usedAlone, ComRxCount()));
        ComSetRxHandler([](std::uint32_t cb) { gLastRxCount = cb; });
        const double usedWithHandler = CpuMsOverOneSecond();
        ComSetRxHandler(nullptr);
        Check(gLastRxCount == 6 && usedWithHandler >= 0 && usedWithHandler < 200, "port.handler_told",
              Format("count=%u cpu_ms=%.0f in 1000 ms", static_cast<unsigned>(gLastRxCount), usedWithHandler));

        ComClose();
        ComClose();
        Check(ComReadByte() == -1 && ComWriteByte('x') == 0, "port.closed_twice", "closed: transfers fail quietly");
        const int fReopen = ComReopen();
        Check(fReopen == 0, "port.reopen", Format("result=%d", fReopen));
        ComClose();
    }

    if (argc > 3) {
        HeldLineChecks(argv[3]);
    }

    Say("done %d %d\n", gPassed, gFailed);
    return gFailed == 0 ? 0 : 1;
}
