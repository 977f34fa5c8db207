// Windows side of what zolhost needs from the system: the console control
// handler for Ctrl-C and close, system message texts.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <io.h>

#include <chrono>
#include <cstdio>

#include "host/system/system.h"

namespace zolhost {

namespace {

volatile LONG gStop = 0;

HANDLE StopEvent() {
    static const HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return e;
}

// Set once the run is over (summary printed, ports closed, captures flushed).
HANDLE RunOverEvent() {
    static const HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return e;
}

// Windows ends a process some 5 s after the close event reached it (and as soon as
// the handler returns): the run's end takes well under a second.
constexpr DWORD kCloseWaitMs = 4000;

BOOL WINAPI OnConsoleControl(DWORD dwCtrlType) {
    InterlockedExchange(&gStop, 1);
    SetEvent(StopEvent());
    if (dwCtrlType == CTRL_CLOSE_EVENT) {
        // "the system terminates the process" once this returns, so it waits here
        // (in the system's own thread) for the run to end: the summary, the port's
        // closing drain, the last of a capture.
        WaitForSingleObject(RunOverEvent(), kCloseWaitMs);
    }
    return TRUE;  // handled: the main loop ends the run and cleans up
}

}  // namespace

void HoldStandardStreams() {}  // a console program's handles are the system's to give

void InstallStopHandlers() {
    StopEvent();
    RunOverEvent();
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void RunOver() {
    std::fflush(stdout);
    std::fflush(stderr);
    SetEvent(RunOverEvent());
}

void RequestStop() {
    InterlockedExchange(&gStop, 1);
    SetEvent(StopEvent());
}

std::intptr_t StopWakeHandle() {
    return reinterpret_cast<std::intptr_t>(StopEvent());
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

}  // namespace zolhost
