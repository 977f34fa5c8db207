// The OS layer under the serial port layer: the few raw operations the port rules in
// com_port.cpp need, one implementation per platform (com_os_linux.cpp,
// com_os_win32.cpp) and a recording fake for the unit tests, chosen at link time.
//
// The layer carries calls; it holds no rules. Results follow the Windows API they
// stand for: functions returning int give nonzero for success and 0 for failure,
// with OsLastError() telling why.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
using OsHandle = HANDLE;
#else
#  include "serial/com_defs_posix.h"
#endif

// How a port is opened.
enum class OsOpenMode {
    // Exclusive: a port another program holds is refused. Reads and writes never
    // wait: a read takes only what is waiting, a write hands its bytes to the
    // system and returns (Windows: overlapped handle).
    Exclusive,
    // Shared: no exclusivity asked for. Reads and writes complete before they
    // return.
    Shared,
};

// The platform's own name for port number nPort, tried when "COM<n>" cannot be
// opened: "\\.\COM<n>" on Windows, the native device on POSIX. false when the
// port has no such name or it does not fit in cbBuff bytes.
bool OsNativePortName(std::uint32_t nPort, char* szBuff, std::size_t cbBuff);

// Opens the port named szName exactly as given. INVALID_HANDLE_VALUE on failure.
OsHandle OsOpen(const char* szName, OsOpenMode mode);
void OsClose(OsHandle h);

// Suggested driver queue sizes; ignored where the platform has none.
int OsSetupComm(OsHandle h, std::uint32_t dwInQueue, std::uint32_t dwOutQueue);

// Current line settings of the port, and applying a complete set.
int OsGetCommState(OsHandle h, DCB* pDcb);
int OsSetCommState(OsHandle h, const DCB* pDcb);

// Queue status; clears any pending line error (the error itself is discarded).
// Either count pointer may be null when the caller does not need that count.
int OsClearCommError(OsHandle h, std::uint32_t* pcbInQue, std::uint32_t* pcbOutQue);

// 1 when at least one input byte is waiting, else 0 (also when the port cannot be
// asked). Called by the thread that reads. Cheaper where the platform can answer
// without counting: on an exclusive port the answer may come from reading the
// waiting bytes ahead, where they stay counted as waiting.
int OsInputWaiting(OsHandle h);

// Reads up to cb bytes. *pcbRead receives the number read (0 when none). On an
// exclusive port a one-byte read may take more from the system than it returns;
// those bytes stay counted by OsClearCommError and OsInputWaiting, but a wait on
// the handle by other means does not see them, so callers that wait that way
// read in larger blocks.
int OsRead(OsHandle h, void* pBuf, std::uint32_t cb, std::uint32_t* pcbRead);

// Hands the driver what it takes of cb bytes now, never waiting on an exclusive
// port (a shared port completes before it returns). *pcbTaken: bytes the driver
// took, in order after every byte it took before; they go out without further
// calls. The caller keeps the rest and offers it again when the driver has room
// (the monitor's kOsEvWritable).
// - nonzero: *pcbTaken bytes taken (0 to cb) and, as far as the driver says, written;
// - 0 with OsLastError() == ERROR_IO_PENDING: *pcbTaken bytes taken and still being
//   written (Windows: one overlapped write of the layer's own copy in progress;
//   until it ends the driver takes nothing more);
// - 0 otherwise: the write failed, nothing was taken.
int OsWriteSome(OsHandle h, const void* pBuf, std::uint32_t cb, std::uint32_t* pcbTaken);
// Windows: the event of the port's OsWriteSome record, set once its write in
// progress has ended (the driver takes more), for waits that take handles; 0 where
// there is none (POSIX: the descriptor polls writable instead).
std::intptr_t OsWritableEvent(OsHandle h);

// A monitor event of the layer's own, beside the platform's EV_ bits: the driver
// can take more output (after OsWriteSome took less than it was offered).
inline constexpr std::uint32_t kOsEvWritable = 0x40000000;

// The one lock of the serial port layer, for the output it holds, which the
// caller's thread and the monitor thread both move on.
void OsOutputLock();
void OsOutputUnlock();

// Error code of the last failed call on this thread: the platform's own (errno on
// POSIX), or one of the layer's own write outcomes above.
std::uint32_t OsLastError();
// The Windows error code that stands for a code of OsLastError() (the same code
// on Windows).
std::uint32_t OsWindowsError(std::uint32_t code);
// true when a code of OsLastError() after a failed OsOpen says that the name does
// not exist (no such file, or a folder on its path missing), as opposed to a name
// that exists but cannot be opened (held by another program, no permission, a
// link to a device that has gone, not a device at all).
bool OsNameMissing(std::uint32_t code);

// Discards the given queues (PURGE_TXCLEAR | PURGE_RXCLEAR).
int OsPurgeComm(OsHandle h, std::uint32_t dwFlags);

// Line commands: SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK.
int OsEscapeCommFunction(OsHandle h, std::uint32_t dwFunc);

// Modem status bits (MS_CTS_ON, MS_DSR_ON, ...).
int OsGetCommModemStatus(OsHandle h, std::uint32_t* pdwStatus);

// The monitor thread. OsMonitorStart creates what the thread waits on, chooses the
// port events it waits for (dwMask: EV_RXCHAR, EV_TXEMPTY, kOsEvWritable; 0: none,
// and the port is not watched at all) and starts it running body; the body waits with
// OsMonitorWait, which sleeps until the port reports one of those events or
// OsMonitorStop asks the thread to end. OsMonitorStop wakes the
// thread, waits until it has ended, and releases it; the port handle stays open.
struct OsMonitor;
using OsMonitorBody = void (*)(OsMonitor* pMonitor);

OsMonitor* OsMonitorStart(OsHandle h, std::uint32_t dwMask, OsMonitorBody body);
// The name the thread carries where the platform names threads.
inline constexpr const char* kMonitorThreadName = "com monitor";
// Raises the thread to the highest priority the platform grants this process.
void OsMonitorRaisePriority(OsMonitor* pMonitor);
// Changes the port events the thread waits for, from any thread; a wait in
// progress goes on with the new choice.
int OsMonitorSetMask(OsMonitor* pMonitor, std::uint32_t dwMask);
// false: the thread has been asked to stop. true: *pdwEvents holds the events seen
// (possibly none, for a wake-up the platform reports without one).
bool OsMonitorWait(OsMonitor* pMonitor, std::uint32_t* pdwEvents);
void OsMonitorStop(OsMonitor* pMonitor);
