// zolhost run on Windows: each COM port the program is given is a link whose host
// end is an RFC 2217 server on loopback; the program is started with
// zolhost-com32.dll or zolhost-com64.dll loaded into it (program_start_win32.cpp)
// and ZOLHOST_COM in its environment (COM2=127.0.0.1:PORT;...), so that its opens
// of those names connect there. Each port's link runs on a thread of its own until
// the program ends; its exit code is run's. A device end is anything a link takes
// (a serial port too), and zolemul, started behind a listener of its own
// (zolemul_end_win32.cpp). A device end that goes takes the program's port
// with it (the server closes its connection and stops listening), and when it
// comes back the server listens again on the same port.
//
// Ctrl-C and Ctrl-Break reach the program from the console both share: they are
// the program's to act on, and run goes on serving its ports until it ends. Closing
// the console ends both. When zolhost itself is ended outright the program is not
// ended with it (no job object kills it): it loses its ports, as it would a pulled
// adapter, and may say so or save its work, as it would on Linux.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "host/base/outcome.h"
#include "host/base/text.h"
#include "host/link/link.h"
#include "host/net/net_url.h"
#include "host/run/program_start_win32.h"
#include "host/run/run_links.h"
#include "host/run/zolemul_end_win32.h"
#include "host/system/system.h"
#include "host/system/threads.h"
#include "host/wait/wait_failures.h"

namespace zolhost {

namespace {

// How long a program that the console's close reached too may take to end before
// run reports without it (the system ends run some 5 s after the close).
constexpr DWORD kClosingWaitMs = 3000;

// The longest a port's thread waits before it looks whether the program has ended.
constexpr auto kLookMs = std::chrono::milliseconds(100);

// Called before zolhost's own handler: Ctrl-C and Ctrl-Break stop nothing here.
BOOL WINAPI LeaveBreaksToProgram(DWORD type) {
    return type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

// The ports' map the DLL reads: COM2=127.0.0.1:PORT;COM5=127.0.0.1:PORT2.
std::string PortMap(const std::vector<ServedPort>& served) {
    std::string map;
    for (const ServedPort& s : served) {
        std::string error;
        const std::optional<net::NetUrl> url = net::ParseNetUrl(s.config.hostPath, net::UrlUse::Listen, &error);
        map += (map.empty() ? "" : ";") + s.path + "=127.0.0.1:" + std::to_string(url ? url->port : 0);
    }
    return map;
}

// A port's link until `over`, on a thread of its own, with the link's own wait
// (link_loop_win32.cpp), which takes the events of every end a link can have: a
// socket's, a serial port's, a listener's. It ends every kLookMs at the latest to
// look at `over` and at its device end, which its port follows.
void ServePort(ServedPort& s, const std::atomic<bool>& over) {
    WaitFailures failures;
    std::string error;
    while (!StopRequested() && !over.load()) {
        const auto now = Clock::now();
        s.link->Pass(now);
        FollowDevice(s, now, [] {});
        if (WaitAndRecord(*s.link, *s.record, Clock::now() + kLookMs, &error)) {
            failures.Passed();
        } else if (!failures.Again(error)) {
            Say(s.path + " cannot be served any more: " + failures.Text() + "; waiting for the program to end");
            return;
        }
    }
}

// Serves the ports until the program ends; its exit code.
int ServeUntilEnded(std::vector<ServedPort>& served, HANDLE program) {
    std::atomic<bool> over{false};
    std::vector<Thread> threads;
    for (ServedPort& s : served) {
        threads.emplace_back([&s, &over] { ServePort(s, over); });
    }
    const HANDLE ends[2] = {program, reinterpret_cast<HANDLE>(StopWakeHandle())};
    WaitForMultipleObjects(2, ends, FALSE, INFINITE);
    over = true;
    for (Thread& t : threads) {
        t.Join();
    }
    DWORD code = 0;
    if (WaitForSingleObject(program, StopRequested() ? kClosingWaitMs : INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(program, &code)) {
        Say("the program has not ended: reporting without it");
        return kExitCheckFailed;
    }
    return static_cast<int>(code);
}

}  // namespace

int RunProgram(const RunConfig& c) {
    const std::wstring dll = ComDllPath();
    if (dll.empty() || GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Say(std::string("cannot find ") + ComDllName() + " beside zolhost.exe (" + OwnDirectory() +
            "): it is what gives the program its ports");
        return kExitNoLink;
    }
    int status = kExitNoLink;
    std::vector<ServedPort> served;
    const auto makeDevice = [&dll](ServedPort& s, int* status, std::string* error) {
        return s.config.device == LinkConfig::DeviceEnd::Spawn ? StartZolemulEnd(s, dll, status, error)
                                                               : MakeLinkDevice(s.config, &s.device, status, error);
    };
    if (MakeLinks(c, [](std::size_t) { return std::string("rfc2217://127.0.0.1:0"); }, &served, &status,
                  makeDevice)) {
        SetConsoleCtrlHandler(LeaveBreaksToProgram, TRUE);
        StartedProgram program;
        std::string error;
        if (!StartWithDll(c.program, "ZOLHOST_COM", PortMap(served), dll, &program, &status, &error)) {
            Say(error);
        } else {
            const HANDLE process = reinterpret_cast<HANDLE>(program.process);
            status = ServeUntilEnded(served, process);
            CloseHandle(process);
            std::fflush(stdout);
            _dup2(_fileno(stderr), _fileno(stdout));  // the program's output alone went there
            PrintSummaries(served);
            std::fflush(stdout);
        }
        SetConsoleCtrlHandler(LeaveBreaksToProgram, FALSE);
    }
    for (ServedPort& s : served) {
        s.link.reset();
        s.host.reset();
        s.started.reset();
    }
    return status;  // each device end ends with `served`
}

}  // namespace zolhost
