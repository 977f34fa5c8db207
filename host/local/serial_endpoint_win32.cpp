// Waiting on a serial-port endpoint on Windows: comm events on its handle, in
// short slices so that Ctrl-C is seen; a write waits for room in 1 ms steps.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <chrono>

#include "host/base/system.h"
#include "host/local/serial_endpoint.h"

namespace zolhost {

int SerialEndpoint::PollFd() const {
    return -1;
}

// A wait on the port's events (a byte arrived, the output emptied, a line error)
// whose event the link's wait takes. It stays issued across the link's passes
// until it completes; bytes already waiting signal it at once.
struct SerialEndpoint::Waiter {
    OVERLAPPED ov{};
    DWORD mask = 0;
    HANDLE pendingOn = nullptr;  // the port a wait is issued on, or none

    Waiter() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Waiter() {
        if (pendingOn != nullptr) {
            CancelIo(pendingOn);
            DWORD unused = 0;
            GetOverlappedResult(pendingOn, &ov, &unused, TRUE);
        }
        CloseHandle(ov.hEvent);
    }
    // True while the issued wait on h has not completed.
    bool Pending(HANDLE h) {
        if (pendingOn != h) {
            pendingOn = nullptr;  // its port was closed: the wait ended with it
            return false;
        }
        DWORD unused = 0;
        if (!GetOverlappedResult(h, &ov, &unused, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE) {
            return true;
        }
        pendingOn = nullptr;
        return false;
    }
};

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
    if (w.Pending(h)) {
        return event;
    }
    ResetEvent(w.ov.hEvent);
    SetCommMask(h, EV_RXCHAR | EV_TXEMPTY | EV_ERR);
    DWORD errors = 0;
    COMSTAT cs{};
    if (ClearCommError(h, &errors, &cs) && cs.cbInQue > 0) {
        SetEvent(w.ov.hEvent);  // bytes are waiting already: no event would tell of them
        return event;
    }
    w.mask = 0;
    if (!WaitCommEvent(h, &w.mask, &w.ov) && GetLastError() == ERROR_IO_PENDING) {
        w.pendingOn = h;
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
                CancelIo(h);
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
