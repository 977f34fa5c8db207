// Windows side of zolhost's platform needs: the console control handler for
// Ctrl-C and close, comm events for waiting on a port, system message texts.
#include <io.h>

#include <chrono>

#include "host/platform.h"

namespace zolhost {

namespace {

volatile LONG gStop = 0;

BOOL WINAPI OnConsoleControl(DWORD) {
    InterlockedExchange(&gStop, 1);
    return TRUE;  // handled: the main loop ends the run and cleans up
}

}  // namespace

void InstallStopHandlers() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StopRequested() {
    return InterlockedCompareExchange(&gStop, 0, 0) != 0;
}

bool SleepUnlessStopped(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (StopRequested()) {
            return false;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return true;
        }
        Sleep(static_cast<DWORD>(left < 20 ? left : 20));
    }
}

bool IsTerminal(std::FILE* f) {
    return _isatty(_fileno(f)) != 0;
}

std::string OwnDirectory() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        return {};
    }
    const std::string exe(path, n);
    const std::size_t cut = exe.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : exe.substr(0, cut);
}

std::string SystemErrorText(std::uint32_t code) {
    char buf[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   buf, sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(code) : text;
}

bool IsWouldBlock(std::uint32_t code) {
    // A write on an overlapped port is taken or pending; it is refused only while
    // the line still holds every write the serial layer keeps in progress.
    return code == ERROR_BUSY;
}

bool IsHangUpError(std::uint32_t code) {
    return code == ERROR_BROKEN_PIPE || code == ERROR_OPERATION_ABORTED || code == ERROR_DEVICE_NOT_CONNECTED;
}

WaitResult WaitReadable(OsHandle h, int timeoutMs, int, bool*) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    SetCommMask(h, EV_RXCHAR);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) {
        return WaitResult::Failed;
    }
    WaitResult result = WaitResult::Timeout;
    for (;;) {
        DWORD errors = 0;
        COMSTAT cs{};
        if (!ClearCommError(h, &errors, &cs)) {
            result = WaitResult::HungUp;
            break;
        }
        if (cs.cbInQue > 0) {
            result = WaitResult::Readable;
            break;
        }
        if (StopRequested()) {
            result = WaitResult::Stopped;
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
                result = WaitResult::Failed;
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

}  // namespace zolhost
