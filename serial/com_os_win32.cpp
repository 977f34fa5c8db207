// The OS layer on Windows: the Win32 communications API on an overlapped handle,
// and a Win32 thread for the monitor.
//
// Every handle is opened overlapped, however it was asked for, so the monitor's
// wait for port events never holds up the caller's reads, writes and status
// queries; a write on a handle opened shared waits for its completion, as on an
// ordinary handle. Each kind of operation has OVERLAPPED records of its own, never
// reused while pending: one for reads (never left pending by OsRead); a few for
// OsWrite, each with its own copy of the bytes; one for the layer's OsWriteSome,
// with its own copy, whose event tells the monitor that the driver takes more; and
// the monitor's own for WaitCommEvent. The records, the ports' table and the end
// of a pending operation are com_overlapped_win32.cpp's.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "serial/com_os.h"
#include "serial/com_overlapped_win32.h"

using namespace overlapped;

namespace {

// How long a read that the system left pending may take to deliver the bytes
// that were waiting when it was issued. The first wait is short: a read for more
// than is waiting takes the waiting bytes at once and then only waits for more.
// While bytes are still reported waiting, the system is merely slow to hand them
// over, and the read is given more time, up to the limit.
constexpr DWORD kReadSettleMs = 20;
constexpr DWORD kReadLimitMs = 2000;

// How long the monitor rests after the port refused a wait for events, so that a
// port that refuses every wait does not keep a time-critical thread busy.
constexpr DWORD kMonitorRetryMs = 100;

// Waits that end idle (with no event, or within kQuickWaitUs of being issued),
// kIdleWaitsBeforePause times in a row, mean the driver wakes the monitor for
// nothing new: some report "characters waiting" for as long as any are unread, or
// end every wait after a few milliseconds (Wine's do both on a pty). The monitor
// then pauses kMonitorPauseMs before its next wait; events that occur meanwhile
// are reported by that wait, together.
constexpr LONGLONG kQuickWaitUs = 1000;
constexpr int kIdleWaitsBeforePause = 3;
constexpr DWORD kMonitorPauseMs = 10;

// Calls on a handle that is not open fail as Windows would, without reaching the
// system: INVALID_HANDLE_VALUE is also the pseudo-handle of the process itself.
bool Usable(HANDLE h) {
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

// The result of a write that has ended: 1 when all cb bytes went out.
int Whole(BOOL fOk, DWORD cbDone, std::uint32_t cb) {
    if (fOk && cbDone != cb) {
        SetLastError(ERROR_WRITE_FAULT);
        return 0;
    }
    return fOk ? 1 : 0;
}

}  // namespace

bool OsNativePortName(std::uint32_t nPort, char* szBuff, std::size_t cbBuff) {
    const int n = std::snprintf(szBuff, cbBuff, "\\\\.\\COM%lu", static_cast<unsigned long>(nPort));
    return n > 0 && static_cast<std::size_t>(n) < cbBuff;
}

OsHandle OsOpen(const char* szName, OsOpenMode mode) {
    const DWORD dwShare = mode == OsOpenMode::Exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
    const HANDLE h = CreateFileA(szName, GENERIC_READ | GENERIC_WRITE, dwShare, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    // The port's timeouts are this layer's own, never what the driver or the last
    // program left. ReadIntervalTimeout MAXDWORD with both read totals zero: "the
    // read operation is to return immediately with the bytes that have already been
    // received, even if no bytes have been received" (COMMTIMEOUTS). Write totals
    // zero: "total time-outs are not used for write operations", so a write never
    // ends having sent only part of its bytes. A driver that refuses them (a port
    // that has no timeouts) keeps its own: the reads below still end by themselves
    // and a short write's count is still honoured.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(h, &timeouts);
    Port* p = new (std::nothrow) Port;
    bool fOk = p != nullptr && p->read.Create() && p->push.Create();
    for (std::size_t i = 0; fOk && i < kWriteSlots; ++i) {
        fOk = p->writes[i].Create();
    }
    if (fOk) {
        p->h = h;
        p->mode = mode;
        fOk = AddPort(p);
        if (!fOk) {
            SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        }
    }
    if (!fOk) {
        const DWORD dwError = p == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
        if (p != nullptr) {
            FreePort(p);
        }
        CloseHandle(h);
        SetLastError(dwError);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

void OsClose(OsHandle h) {
    Port* p = FindPort(h);
    if (p == nullptr) {
        if (Usable(h)) {
            CloseHandle(h);
        }
        return;
    }
    // Writes still in progress (the closing rule gave them their time already) are
    // cancelled, and the system is done with their records and buffers before they
    // are freed.
    const auto finish = [&](Transfer& t) {
        if (t.pending) {
            DWORD cb = 0;
            Finish(h, t, 0, &cb);
        }
    };
    finish(p->push);
    for (Transfer& t : p->writes) {
        finish(t);
    }
    RemovePort(p);
    CloseHandle(h);
    FreePort(p);
}

int OsSetupComm(OsHandle h, std::uint32_t dwInQueue, std::uint32_t dwOutQueue) {
    return Usable(h) && SetupComm(h, dwInQueue, dwOutQueue) ? 1 : 0;
}

int OsGetCommState(OsHandle h, DCB* pDcb) {
    if (!Usable(h)) {
        return 0;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(h, &dcb)) {
        return 0;
    }
    *pDcb = dcb;
    return 1;
}

int OsSetCommState(OsHandle h, const DCB* pDcb) {
    DCB dcb = *pDcb;
    return Usable(h) && SetCommState(h, &dcb) ? 1 : 0;
}

int OsClearCommError(OsHandle h, std::uint32_t* pcbInQue, std::uint32_t* pcbOutQue) {
    DWORD dwErrors = 0;
    COMSTAT cs{};
    if (!Usable(h) || !ClearCommError(h, &dwErrors, &cs)) {
        return 0;
    }
    if (pcbInQue != nullptr) {
        *pcbInQue = cs.cbInQue;
    }
    if (pcbOutQue != nullptr) {
        *pcbOutQue = cs.cbOutQue;
    }
    return 1;
}

int OsInputWaiting(OsHandle h) {
    std::uint32_t cbInQue = 0;
    return OsClearCommError(h, &cbInQue, nullptr) && cbInQue > 0 ? 1 : 0;
}

int OsRead(OsHandle h, void* pBuf, std::uint32_t cb, std::uint32_t* pcbRead) {
    *pcbRead = 0;
    Port* p = FindPort(h);
    if (p == nullptr) {
        return 0;
    }
    if (cb == 0) {
        return 1;
    }
    Transfer& t = p->read;
    if (ReadFile(h, pBuf, cb, nullptr, t.Arm())) {
        DWORD n = 0;
        const BOOL fOk = GetOverlappedResult(h, &t.ov, &n, FALSE);
        *pcbRead = n;
        return fOk ? 1 : 0;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    // The system may report a read pending even when the bytes are already
    // waiting; it hands them over shortly. A read for more than is waiting takes
    // what has arrived, and the rest is cancelled: no read outlives this call.
    t.pending = true;
    DWORD dwWaited = 0;
    DWORD dwWait = kReadSettleMs;
    while (WaitForSingleObject(t.hEvent, dwWait) != WAIT_OBJECT_0) {
        dwWaited += dwWait;
        DWORD dwErrors = 0;
        COMSTAT cs{};
        if (dwWaited >= kReadLimitMs || !ClearCommError(h, &dwErrors, &cs) || cs.cbInQue == 0) {
            break;
        }
    }
    DWORD n = 0;
    const BOOL fOk = Finish(h, t, 0, &n);
    *pcbRead = n;
    if (!fOk && GetLastError() != ERROR_OPERATION_ABORTED) {
        return 0;
    }
    return 1;  // complete, or cut short on purpose: *pcbRead says how much arrived
}

// A write on a shared port, which completes before it returns: all cb bytes, or
// none and a failure.
static int WriteWhole(OsHandle h, const void* pBuf, std::uint32_t cb) {
    Port* p = FindPort(h);
    if (p == nullptr) {
        return 0;
    }
    Transfer* t = FreeWriteSlot(*p);
    if (t == nullptr) {
        return 0;
    }
    if (!t->Copy(pBuf, cb)) {
        return 0;
    }
    // A write that ends having sent only part of its bytes (possible only where the
    // port has write timeouts) is reported as failed, never as sent.
    DWORD n = 0;
    if (WriteFile(h, t->pBuf.get(), cb, nullptr, t->Arm())) {
        const BOOL fOk = GetOverlappedResult(h, &t->ov, &n, FALSE);
        return Whole(fOk, n, cb);
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return 0;  // nothing was taken
    }
    // Completes before it returns, as on a handle opened for ordinary I/O.
    t->pending = true;
    const BOOL fOk = Finish(h, *t, INFINITE, &n);
    return Whole(fOk, n, cb);
}

// Issues the push record's write of the first cb bytes of its copy. 1: ended at
// once, t.cbIssued then counting the bytes it sent (fewer than cb only where the
// port kept write timeouts); 0 with ERROR_IO_PENDING: in progress (t.cbIssued = cb);
// 0 otherwise: failed, nothing taken.
static int StartPush(OsHandle h, Transfer& t, std::uint32_t cb) {
    t.cbIssued = cb;
    if (WriteFile(h, t.pBuf.get(), cb, nullptr, t.Arm())) {
        DWORD n = 0;
        GetOverlappedResult(h, &t.ov, &n, FALSE);
        t.cbIssued = n;
        return 1;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    t.pending = true;
    return 0;
}

// The record's manual-reset event: "WriteFile resets the event specified by the
// hEvent member of the OVERLAPPED structure to a nonsignaled state when it begins
// the I/O operation", and the system sets it when the operation completes.
std::intptr_t OsWritableEvent(OsHandle h) {
    const Port* p = FindPort(h);
    return p != nullptr ? reinterpret_cast<std::intptr_t>(p->push.hEvent) : 0;
}

int OsWriteSome(OsHandle h, const void* pBuf, std::uint32_t cb, std::uint32_t* pcbTaken) {
    *pcbTaken = 0;
    Port* p = FindPort(h);
    if (p == nullptr) {
        return 0;
    }
    if (p->mode == OsOpenMode::Shared) {
        const int fOk = WriteWhole(h, pBuf, cb);
        *pcbTaken = fOk ? cb : 0;
        return fOk;
    }
    Transfer& t = p->push;
    if (t.pending) {
        if (!HasOverlappedIoCompleted(&t.ov)) {
            return 1;  // the driver is still sending the last write: nothing taken
        }
        // Bytes said to be taken must reach the line: a write that succeeded short
        // (a write timeout the driver kept after all) owes the rest of its own copy,
        // which goes before anything new is taken. One that failed takes the
        // port's output with it, as any failed write does; one cancelled on
        // purpose (a purge, the close) owes nothing.
        DWORD cbDone = 0;
        const BOOL fDone = GetOverlappedResult(h, &t.ov, &cbDone, FALSE);
        const DWORD dwError = fDone ? 0 : GetLastError();
        t.pending = false;
        t.cbOwed = fDone && cbDone < t.cbIssued ? t.cbIssued - cbDone : 0;
        if (t.cbOwed > 0) {
            std::memmove(t.pBuf.get(), t.pBuf.get() + cbDone, t.cbOwed);
        }
        if (!fDone && dwError != ERROR_OPERATION_ABORTED) {
            SetLastError(dwError);
            return 0;
        }
    }
    if (t.cbOwed > 0) {
        const std::uint32_t cbOwed = t.cbOwed;
        t.cbOwed = 0;
        if (StartPush(h, t, cbOwed)) {
            t.cbOwed = cbOwed - t.cbIssued;  // ended short again: the rest next time
            if (t.cbOwed > 0) {
                std::memmove(t.pBuf.get(), t.pBuf.get() + t.cbIssued, t.cbOwed);
            }
            return 1;
        }
        return GetLastError() == ERROR_IO_PENDING ? 1 : 0;  // nothing new taken meanwhile
    }
    if (!t.Copy(pBuf, cb)) {
        return 0;
    }
    const int fOk = StartPush(h, t, cb);
    if (fOk) {
        *pcbTaken = t.cbIssued;  // a write that ended short took that much; the caller keeps the rest
    } else if (GetLastError() == ERROR_IO_PENDING) {
        *pcbTaken = cb;
    }
    return fOk;
}

namespace {
SRWLOCK gOutputLock = SRWLOCK_INIT;
}

void OsOutputLock() {
    AcquireSRWLockExclusive(&gOutputLock);
}

void OsOutputUnlock() {
    ReleaseSRWLockExclusive(&gOutputLock);
}

std::uint32_t OsLastError() {
    return GetLastError();
}

std::uint32_t OsWindowsError(std::uint32_t code) {
    return code;
}

bool OsNameMissing(std::uint32_t code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

int OsPurgeComm(OsHandle h, std::uint32_t dwFlags) {
    return Usable(h) && PurgeComm(h, dwFlags) ? 1 : 0;
}

int OsEscapeCommFunction(OsHandle h, std::uint32_t dwFunc) {
    return Usable(h) && EscapeCommFunction(h, dwFunc) ? 1 : 0;
}

int OsGetCommModemStatus(OsHandle h, std::uint32_t* pdwStatus) {
    DWORD dwStatus = 0;
    if (!Usable(h) || !GetCommModemStatus(h, &dwStatus)) {
        return 0;
    }
    *pdwStatus = dwStatus;
    return 1;
}

// The monitor waits on two events: the completion of its own overlapped
// WaitCommEvent, and the stop event that OsMonitorStop sets. With no port events
// chosen it issues no WaitCommEvent (a driver may poll the port for as long as
// one is pending: Wine's does) and waits for the stop event or a new choice.
struct OsMonitor {
    HANDLE hCom = INVALID_HANDLE_VALUE;
    OsMonitorBody body = nullptr;
    HANDLE hThread = nullptr;
    HANDLE hStop = nullptr;
    HANDLE hNewMask = nullptr;           // set by OsMonitorSetMask
    HANDLE hPushDone = nullptr;          // the port's OsWriteSome record's event
    std::atomic<DWORD> dwWanted{0};     // the events chosen (port events, kOsEvWritable)
    Transfer wait;            // the pending WaitCommEvent, if any
    DWORD dwEvtMask = 0;      // filled by WaitCommEvent when it completes
    LARGE_INTEGER tArmed{};   // when the current wait was issued
    int nIdleWaits = 0;       // waits in a row that ended idle
};

namespace {

DWORD WINAPI MonitorMain(LPVOID pArg) {
    auto* m = static_cast<OsMonitor*>(pArg);
    m->body(m);
    if (m->wait.pending) {
        // Normally already ended by OsMonitorStop clearing the event mask.
        DWORD cb = 0;
        Finish(m->hCom, m->wait, 0, &cb);
    }
    return 0;
}

void FreeMonitor(OsMonitor* m) {
    if (m->hThread != nullptr) {
        CloseHandle(m->hThread);
    }
    if (m->hStop != nullptr) {
        CloseHandle(m->hStop);
    }
    if (m->hNewMask != nullptr) {
        CloseHandle(m->hNewMask);
    }
    m->wait.Destroy();
    delete m;
}

bool StopRequested(const OsMonitor* m) {
    return WaitForSingleObject(m->hStop, 0) == WAIT_OBJECT_0;
}

// Sleeps msRest unless a stop is requested meanwhile; false on a stop.
bool Rest(const OsMonitor* m, DWORD msRest) {
    return WaitForSingleObject(m->hStop, msRest) != WAIT_OBJECT_0;
}

// Counts the waits in a row that ended idle: with no event, or at once.
void NoteWaitEnded(OsMonitor* m, DWORD dwEvents) {
    LARGE_INTEGER now;
    LARGE_INTEGER freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    const LONGLONG us = (now.QuadPart - m->tArmed.QuadPart) * 1000000 / freq.QuadPart;
    m->nIdleWaits = dwEvents == 0 || us < kQuickWaitUs ? m->nIdleWaits + 1 : 0;
}

}  // namespace

OsMonitor* OsMonitorStart(OsHandle h, std::uint32_t dwMask, OsMonitorBody body) {
    auto* m = new (std::nothrow) OsMonitor;
    if (m == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    m->hCom = h;
    m->body = body;
    m->hStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m->hNewMask = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m->hStop == nullptr || m->hNewMask == nullptr || !m->wait.Create()) {
        FreeMonitor(m);
        return nullptr;
    }
    m->hPushDone = reinterpret_cast<HANDLE>(OsWritableEvent(h));  // null: not a port of this layer
    m->dwWanted = dwMask;
    SetCommMask(h, dwMask & ~kOsEvWritable);  // a port that refuses it refuses the waits too: they rest
    m->hThread = CreateThread(nullptr, 0, MonitorMain, m, 0, nullptr);
    if (m->hThread == nullptr) {
        FreeMonitor(m);
        return nullptr;
    }
    return m;
}

void OsMonitorRaisePriority(OsMonitor* m) {
    SetThreadPriority(m->hThread, THREAD_PRIORITY_TIME_CRITICAL);
}

int OsMonitorSetMask(OsMonitor* m, std::uint32_t dwMask) {
    const DWORD dwOld = m->dwWanted.exchange(dwMask);
    BOOL fOk = TRUE;
    if (((dwOld ^ dwMask) & ~kOsEvWritable) != 0) {
        fOk = SetCommMask(m->hCom, dwMask & ~kOsEvWritable);  // ends a WaitCommEvent in progress
    }
    SetEvent(m->hNewMask);
    return fOk ? 1 : 0;
}

bool OsMonitorWait(OsMonitor* m, std::uint32_t* pdwEvents) {
    *pdwEvents = 0;
    if (StopRequested(m)) {
        return false;
    }
    const DWORD dwWanted = m->dwWanted;
    if (!m->wait.pending && (dwWanted & ~kOsEvWritable) != 0) {
        if (m->nIdleWaits >= kIdleWaitsBeforePause) {
            m->nIdleWaits = 0;
            if (!Rest(m, kMonitorPauseMs)) {
                return false;
            }
        }
        m->dwEvtMask = 0;
        QueryPerformanceCounter(&m->tArmed);
        if (WaitCommEvent(m->hCom, &m->dwEvtMask, m->wait.Arm())) {
            DWORD cb = 0;
            GetOverlappedResult(m->hCom, &m->wait.ov, &cb, FALSE);
            NoteWaitEnded(m, m->dwEvtMask);
            *pdwEvents = m->dwEvtMask;
            return true;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return Rest(m, kMonitorRetryMs);  // refused: try again later
        }
        m->wait.pending = true;
    }
    // The stop, a new choice, the port event, room for the layer's output.
    HANDLE handles[4] = {m->hStop, m->hNewMask};
    DWORD n = 2;
    const DWORD iEvent = m->wait.pending ? n++ : MAXDWORD;
    if (iEvent != MAXDWORD) {
        handles[iEvent] = m->wait.hEvent;
    }
    const DWORD iRoom = (dwWanted & kOsEvWritable) != 0 && m->hPushDone != nullptr ? n++ : MAXDWORD;
    if (iRoom != MAXDWORD) {
        handles[iRoom] = m->hPushDone;
    }
    const DWORD r = WaitForMultipleObjects(n, handles, FALSE, INFINITE);
    if (r == WAIT_OBJECT_0 + 1) {
        return true;  // look again at what is wanted
    }
    if (iRoom != MAXDWORD && r == WAIT_OBJECT_0 + iRoom) {
        *pdwEvents = kOsEvWritable;
        return true;
    }
    if (iEvent == MAXDWORD || r != WAIT_OBJECT_0 + iEvent) {
        return false;  // stop requested (or the wait itself failed)
    }
    DWORD cb = 0;
    const BOOL fOk = GetOverlappedResult(m->hCom, &m->wait.ov, &cb, FALSE);
    m->wait.pending = false;
    NoteWaitEnded(m, fOk ? m->dwEvtMask : 0);
    if (fOk) {
        *pdwEvents = m->dwEvtMask;  // no bits: the wait ended early and is issued again
        return true;
    }
    if (GetLastError() == ERROR_OPERATION_ABORTED) {
        return true;  // ended without an event (the mask changed, or the driver gave up)
    }
    return Rest(m, kMonitorRetryMs);
}

void OsMonitorStop(OsMonitor* m) {
    SetEvent(m->hStop);
    SetCommMask(m->hCom, 0);  // ends a WaitCommEvent in progress
    WaitForSingleObject(m->hThread, INFINITE);
    FreeMonitor(m);
}
