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
