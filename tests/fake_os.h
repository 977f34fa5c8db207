// A recording fake of the serial OS layer: in-memory devices with input and output
// queues, and a log of the calls that change something, so a test can say "opened,
// then closed again" or "one SETRTS, not two".
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "serial/com_os.h"

namespace fake {

// One entry of a device's transfer log: an input count handed out by
// OsClearCommError, or a read.
struct Transfer {
    enum class Kind { Count, Read };
    Kind kind = Kind::Count;
    std::uint32_t value = 0;      // Count: bytes counted; Read: bytes asked for
    std::uint32_t delivered = 0;  // Read: bytes handed out (0 for a failed read)
};

struct Device {
    std::deque<std::uint8_t> rx;    // bytes waiting to be read
    std::vector<std::uint8_t> tx;   // bytes written, in order
    std::uint32_t txQueued = 0;     // bytes reported as still in the output queue
    bool busy = false;              // held by another program: exclusive opens fail
    bool terminal = true;           // false: line settings cannot be applied
    bool toggleSupported = true;    // driver accepts hardware RTS toggling
    int readsBeforeFailure = -1;    // >= 0: reads after this many deliver nothing
    bool writeFails = false;        // writes fail with an error
    bool writePending = false;      // writes are taken but still in progress
    // > 0: a line that takes this many bytes a second, as a Windows driver does: one
    // write in progress at a time, and until its bytes are on the line it takes
    // nothing more. 0: every write is taken at once.
    std::uint32_t lineBytesPerSecond = 0;
    bool lineStopped = false;       // see SetLineStopped
    // > 0: a driver with little room (a pty, a UART's small FIFO): each write takes
    // at most this many bytes, the rest is the caller's to offer again.
    std::uint32_t takeAtMost = 0;
    bool reportsRoom = true;        // false: the monitor is never told of room
    bool dtr = false;               // the modem lines, as the last commands left them
    bool rts = false;
    std::uint32_t modemStatus = 0;  // MS_CTS_ON | MS_DSR_ON ...
    DCB dcb{};                      // the line settings applied last
    // Off by default. When on, every input count and every read is appended to
    // `transfers`; OsInputWaiting is a yes/no question, not a count, and is not logged.
    bool logTransfers = false;
    std::vector<Transfer> transfers;
};

// Forgets every device, handle and recorded call.
void Reset();
// Creates the device that OsOpen finds under `name`.
Device& AddDevice(const std::string& name);
Device& GetDevice(const std::string& name);
// The bytes written to a device so far, taken under the fake's lock (the monitor
// thread may be writing to it).
std::vector<std::uint8_t> Written(const std::string& name);

// Calls recorded so far, one line each, e.g. "open COM2 exclusive", "setupcomm 4096
// 4096", "setstate", "escape SETRTS", "monitor start", "monitor stop", "close COM2";
// "cut 5": a write the monitor thread issued still had 5 bytes to send when the
// thread ended, and was cancelled with it (as Windows does), those bytes never sent.
std::vector<std::string> Calls();
void ClearCalls();

// Number of handles and monitor threads still open.
int OpenHandles();
int RunningMonitors();

// Stops a device's line (it takes and sends nothing, like a line held off by flow
// control) or lets it go on; the write in progress then starts afresh.
void SetLineStopped(const std::string& name, bool stopped);

// Makes the next monitor start fail.
void FailNextMonitorStart();
// Hands an event to the running monitor and waits until it has dealt with it.
void SignalMonitor(std::uint32_t dwEvents);
// Event mask the monitor asked for.
std::uint32_t MonitorMask();

}  // namespace fake
