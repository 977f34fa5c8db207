// Waiting on a serial-port endpoint on Windows: comm events on its handle, in
// short slices so that Ctrl-C is seen; a write waits for room in 1 ms steps.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <chrono>

#include "host/local/serial_endpoint.h"
#include "host/system/system.h"

namespace zolhost {

int SerialEndpoint::PollFd() const {
    return -1;
}

// A wait on the port's events (a byte arrived, a line error) whose event the
// link's wait takes. It stays issued across the link's passes until the link has
// had its wake: a wait that completed while the link was busy keeps its event set
// for the next wait, so no event is lost between two waits. Bytes already waiting
// signal it at once. Room for held output is not its business: the end of the
// line's write in progress tells of that (RoomHandle), an event that stays set.
// EV_TXEMPTY would tell only that the driver's queue ran dry, after the write's
// end, and the queue's count (cbOutQue) is no sign of room: a driver may report
// 0 while its write is in progress (Wine's on a pty does), which woke the link
// on every pass while a held write waited for the line. It ends (cancelled
// alone, CancelIoEx with its own record) before its port is closed, so a record
// is never issued twice nor a closed handle waited on.
struct SerialEndpoint::Waiter {
    OVERLAPPED ov{};
    DWORD mask = 0;
    HANDLE issuedOn = nullptr;  // the port a wait is issued on (pending, or ended unseen)

    Waiter() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Waiter() {
        if (issuedOn != nullptr) {
            CancelIoEx(issuedOn, &ov);
            DWORD unused = 0;
            GetOverlappedResult(issuedOn, &ov, &unused, TRUE);
        }
        CloseHandle(ov.hEvent);
    }
    bool Ended() const { return HasOverlappedIoCompleted(&ov); }
};

bool SerialEndpoint::Waited() {
    // The link looks at the port after this: a wait that has ended is seen then.
    if (!waiter_) {
        return false;
    }
    if (waiter_->issuedOn != nullptr && waiter_->Ended()) {
        DWORD unused = 0;
        GetOverlappedResult(waiter_->issuedOn, &waiter_->ov, &unused, FALSE);
        waiter_->issuedOn = nullptr;
    }
    // Set by an ended wait, or by WaitHandle for bytes already waiting.
    const bool woke = waiter_->issuedOn == nullptr && WaitForSingleObject(waiter_->ov.hEvent, 0) == WAIT_OBJECT_0;
    readSinceWake_ = readSinceWake_ && !woke;
    return woke;
}

std::intptr_t SerialEndpoint::WaitHandle() {
    if (line_ == nullptr) {
        return 0;
    }
    if (!waiter_) {
        waiter_ = std::make_shared<Waiter>();
    }
    Waiter& w = *waiter_;
    const HANDLE h = reinterpret_cast<HANDLE>(ComLineSystemHandle(line_));
    const auto event = reinterpret_cast<std::intptr_t>(w.ov.hEvent);
    if (w.issuedOn != nullptr) {
        return event;  // pending, or ended and its event still set for the link's wait
    }
    ResetEvent(w.ov.hEvent);
    if (!readSinceWake_) {
        // Not read since its last wake: the link has no room for its bytes and
        // keeps that wake until it has. Nothing else of the port's asks anything of
        // the link meanwhile (room is told by RoomHandle), so no wait is issued: a
        // driver may report unread bytes for as long as they wait, and poll the
        // port for as long as a wait is pending (Wine's does both).
        return event;
    }
    SetCommMask(h, EV_RXCHAR | EV_ERR);
    DWORD errors = 0;
    COMSTAT cs{};
    if (ClearCommError(h, &errors, &cs) && cs.cbInQue > 0) {
        // Bytes are waiting already: EV_RXCHAR tells of a change, not of a state.
        SetEvent(w.ov.hEvent);
        return event;
    }
    w.mask = 0;
    if (!WaitCommEvent(h, &w.mask, &w.ov) && GetLastError() == ERROR_IO_PENDING) {
        w.issuedOn = h;
    } else {
        SetEvent(w.ov.hEvent);  // done at once, or failed: the link looks at the port now
    }
    return event;
}

Io SerialEndpoint::WaitReadable(int timeoutMs, Beside*) {
    if (line_ == nullptr) {
        return Io::HungUp;
    }
    const HANDLE h = reinterpret_cast<HANDLE>(ComLineSystemHandle(line_));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    SetCommMask(h, EV_RXCHAR);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) {
        return Io::Failed;
    }
    Io result = Io::Timeout;
    for (;;) {
        DWORD errors = 0;
        COMSTAT cs{};
        if (!ClearCommError(h, &errors, &cs)) {
            result = Io::HungUp;
            break;
        }
        if (cs.cbInQue > 0) {
            result = Io::Done;
            break;
        }
        if (StopRequested()) {
            result = Io::Stopped;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            break;
        }
        // Sleeps until a byte arrives; short slices keep Ctrl-C responsive.
        DWORD mask = 0;
        ResetEvent(ov.hEvent);
        if (!WaitCommEvent(h, &mask, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                result = Io::Failed;
                break;
            }
            const DWORD slice = static_cast<DWORD>(left < 50 ? left : 50);
            if (WaitForSingleObject(ov.hEvent, slice) != WAIT_OBJECT_0) {
                CancelIoEx(h, &ov);  // this wait alone: a write in progress on the port goes on
            }
            DWORD unused = 0;
            GetOverlappedResult(h, &ov, &unused, TRUE);
        }
    }
    CloseHandle(ov.hEvent);
    return result;
}

Io SerialEndpoint::WaitWritable(int timeoutMs, Beside*) {
    // The system keeps writes in progress and sends them on by itself: room
    // appears as they finish.
    return SleepUnlessStopped(timeoutMs < 1 ? 0 : 1) ? Io::Done : Io::Stopped;
}

}  // namespace zolhost
