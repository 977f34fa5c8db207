// zolhost serve on Windows: built-in devices only, each with a tcp:// or
// rfc2217:// host end. zolemul devices are not served here: zolhost gives each
// zolemul its port as the other end of a pty, which Windows does not have; nor
// are pty host ends. All built-in devices run on one thread whose wait is WSAPoll
// over every socket of every link (link_wait_win32.cpp), which has no 64-handle
// limit as WaitForMultipleObjects has: 256 devices are one wait. The control API
// (control_http.cpp, poll() over sockets) is built on POSIX systems only, so serve
// runs without it here.
// Ctrl-C, Ctrl-Break and closing the console end it as a stop request (the close
// waits for the run's end: system_win32.cpp), as does standard input's end with
// --exit-with-stdin.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <bit>
#include <cstdint>

#include "host/base/text.h"
#include "host/net/net_url.h"
#include "host/serve/serve_run.h"
#include "host/system/system.h"

namespace zolhost {

namespace {

constexpr DWORD kLookMs = 50;  // how often the main thread looks at the board

// Why this system cannot serve c as asked; empty when it can.
std::string NotServedHere(const ServeConfig& c) {
    for (std::size_t i = 0; i < c.devices.size(); ++i) {
        const ServedDevice& d = c.devices[i];
        if (d.link.device != LinkConfig::DeviceEnd::Builtin) {
            return "device " + std::to_string(i) +
                   ": zolemul devices are served on POSIX systems only (zolhost gives each zolemul its port as the "
                   "other end of a pty, which Windows does not have); --engine builtin, the default, is the same "
                   "device on the wire";
        }
        if (d.host != "tcp" && d.host != "rfc2217" && !net::LooksLikeUrl(d.host)) {
            return "device " + std::to_string(i) + ": a host end at a path (" + d.host +
                   ") needs POSIX ptys, which Windows does not have; give --host tcp or rfc2217 (or a tcp:// or "
                   "rfc2217:// URL)";
        }
    }
    return {};
}

}  // namespace

const char* const kServeEndsWith = "Ctrl-C, Ctrl-Break or closing the console";

unsigned Cores() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
        return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

namespace {

// Set once standard input has ended.
HANDLE StdinEndEvent() {
    static const HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return e;
}

// Reads standard input to its end, dropping what it reads, and sets the event. A
// thread of its own, left running when the program ends (it may be blocked in
// ReadFile for good: a console, a pipe nobody closes): a pipe's end cannot be
// waited for with the stop request, nor looked for without reading everywhere
// (PeekNamedPipe fails on Wine's pipes to Linux programs).
DWORD WINAPI ReadStdinToItsEnd(LPVOID) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    char buf[4096];
    DWORD got = 0;
    while (in != nullptr && in != INVALID_HANDLE_VALUE && ReadFile(in, buf, sizeof buf, &got, nullptr) && got > 0) {
    }
    SetEvent(StdinEndEvent());
    return 0;
}

}  // namespace

// Standard input ends as its reader finds: a pipe once its writer has closed it, a
// file where it ends, a console at Ctrl-Z; none at all reads as its end, as on
// POSIX. The reader starts at the first call that watches (serve asks the same
// all through its run).
bool StdinEnded(bool watch) {
    static const bool reading = [watch] {
        if (watch) {
            if (const HANDLE t = CreateThread(nullptr, 0, ReadStdinToItsEnd, nullptr, 0, nullptr); t != nullptr) {
                CloseHandle(t);
            }
        }
        return watch;
    }();
    const HANDLE events[2] = {reinterpret_cast<HANDLE>(StopWakeHandle()), StdinEndEvent()};
    const DWORD r = WaitForMultipleObjects(reading ? 2 : 1, events, FALSE, kLookMs);
    if (r == WAIT_FAILED) {
        // The callers look at the board between two calls: the wait is their pace,
        // which a wait failing at once would take away. Standard input's end is
        // looked for again next time.
        Sleep(kLookMs);
        return false;
    }
    return r == WAIT_OBJECT_0 + 1;
}

int RunServe(const ServeConfig& c) {
    if (const std::string why = NotServedHere(c); !why.empty()) {
        Say(why);
        return kExitUsage;
    }
    ServeConfig asked = c;
    if (!asked.control.empty()) {
        Say("serve's control API is built on POSIX systems only: serving without it");
        asked.control.clear();
    }
    int status = kExitGood;
    if (!ServeCanStart(asked, &status)) {
        return status;
    }
    // No open-files limit to raise, as on POSIX: sockets are handles here, which a
    // process may hold millions of.
    const ServeConfig run = WithHostEnds(asked, "");
    ServeRun serving(run);
    bool up = false;
    status = serving.WaitUntilUp(&up);
    if (up) {
        status = serving.Serve(Cores(), {});
    }
    return serving.End(status);
}

}  // namespace zolhost
