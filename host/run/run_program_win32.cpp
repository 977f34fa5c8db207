// zolhost run on Windows: each COM port the program is given is a link whose host
// end is an RFC 2217 server on loopback; the program is started with
// zolhost-com32.dll or zolhost-com64.dll loaded into it (program_start_win32.cpp)
// and ZOLHOST_COM in its environment (COM2=127.0.0.1:PORT;...), so that its opens
// of those names connect there. The links run on this thread until the program
// ends; its exit code is run's. A device end that goes takes the program's port
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

#include <cstdio>

#include "host/base/outcome.h"
#include "host/base/text.h"
#include "host/link/link_set.h"
#include "host/net/net_url.h"
#include "host/run/program_start_win32.h"
#include "host/run/run_links.h"
#include "host/system/system.h"

namespace zolhost {

namespace {

// How long a program that the console's close reached too may take to end before
// run reports without it (the system ends run some 5 s after the close).
constexpr DWORD kClosingWaitMs = 3000;

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

// Serves the links until the program ends; its exit code.
int ServeUntilEnded(std::vector<ServedPort>& served, HANDLE program) {
    std::optional<int> status;
    std::vector<LinkUnit> units;
    for (ServedPort& s : served) {
        units.push_back({s.link.get(), s.record.get()});
    }
    const auto ended = [&](DWORD waitMs) {
        DWORD code = 0;
        if (!status && WaitForSingleObject(program, waitMs) == WAIT_OBJECT_0 && GetExitCodeProcess(program, &code)) {
            status = static_cast<int>(code);
        }
        return status.has_value();
    };
    // The set's wait on Windows ends every 100 ms at the latest and looks for
    // commands after each: the program's end and the device ends' changes are seen
    // within that.
    LinkSetControl control;
    control.next = [&](Clock::time_point now, const std::function<void(std::size_t)>& touching) {
        return FollowDevice(served, now, touching);
    };
    control.finished = [&] { return ended(0); };
    if (const std::string why = RunLinks(units, &control); !why.empty()) {
        Say("the ports cannot be served any more: " + why + "; waiting for the program to end");
    }
    if (!ended(StopRequested() ? kClosingWaitMs : INFINITE)) {
        Say("the program has not ended: reporting without it");
        return kExitCheckFailed;
    }
    return *status;
}

// Why a port's device end cannot be served here; empty when all can. The links of
// run wait together in one WSAPoll (link_wait_win32.cpp), which waits on sockets
// only: a serial port's comm events would go unseen there, and its replies unread.
std::string NotServedHere(const RunConfig& c) {
    for (const RunTty& t : c.ttys) {
        if (t.link.device == LinkConfig::DeviceEnd::Port && !net::LooksLikeUrl(t.link.port)) {
            return t.path + ": a serial port (" + t.link.port +
                   ") is no device end of run on Windows yet; put zolhost.exe --port " + t.link.port +
                   " link rfc2217://127.0.0.1:PORT in front of it and give " + t.path + "=rfc2217://127.0.0.1:PORT";
        }
    }
    return {};
}

}  // namespace

int RunProgram(const RunConfig& c) {
    if (const std::string why = NotServedHere(c); !why.empty()) {
        Say(why);
        return kExitUsage;
    }
    const std::wstring dll = ComDllPath();
    if (dll.empty() || GetFileAttributesW(dll.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Say(std::string("cannot find ") + ComDllName() + " beside zolhost.exe (" + OwnDirectory() +
            "): it is what gives the program its ports");
        return kExitNoLink;
    }
    int status = kExitNoLink;
    std::vector<ServedPort> served;
    if (MakeLinks(c, [](std::size_t) { return std::string("rfc2217://127.0.0.1:0"); }, &served, &status)) {
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
    }
    return status;  // each device end ends with `served`
}

}  // namespace zolhost
