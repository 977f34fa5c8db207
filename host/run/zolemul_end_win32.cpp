// zolemul behind a loopback listener: the listener is made first, zolemul.exe is
// started on a console of its own with no window (its status lines are its own, as
// on the pty zolhost drains on Linux; its Ctrl-C is not run's), and the end is
// ready once zolemul's open of COM2 has connected. It is ended by force when run
// ends, after the program: its port is the listener, gone by then or at once, and
// zolemul keeps nothing that a key press would save.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "host/run/zolemul_end_win32.h"

#include "host/base/outcome.h"
#include "host/base/text.h"
#include "host/net/ends.h"
#include "host/net/net_url.h"
#include "host/process/emulator_process.h"
#include "host/run/program_start_win32.h"
#include "host/system/system.h"

namespace zolhost {

namespace {

constexpr DWORD kLookMs = 10;  // between looks for zolemul's connection

class StartedZolemul : public StartedDevice {
public:
    explicit StartedZolemul(HANDLE process) : process_(process) {}
    ~StartedZolemul() override {
        TerminateProcess(process_, 0);
        WaitForSingleObject(process_, 5000);
        CloseHandle(process_);
    }
    HANDLE Process() const { return process_; }

private:
    HANDLE process_;
};

}  // namespace

bool StartZolemulEnd(ServedPort& s, const std::wstring& dll, int* status, std::string* error) {
    const LinkConfig& c = s.config;
    *status = kExitNoLink;
    const std::string exe = FindEmulator(c.deviceExe, error);
    if (exe.empty()) {
        *error = "zolemul: " + *error;
        return false;
    }
    std::unique_ptr<Endpoint> listener = MakeHostEnd("rfc2217://127.0.0.1:0", error, false);
    if (listener == nullptr) {
        return false;
    }
    const std::optional<net::NetUrl> url = net::ParseNetUrl(listener->Name(), net::UrlUse::Listen, error);
    StartedProgram program;
    if (!url || !StartWithDll({exe}, "ZOLHOST_COM", std::string(kDevicePortName) + "=127.0.0.1:" +
                                                        std::to_string(url->port),
                              dll, &program, status, error, true)) {
        *error = "zolemul: " + *error;
        *status = kExitCheckFailed;
        return false;
    }
    auto started = std::make_unique<StartedZolemul>(reinterpret_cast<HANDLE>(program.process));
    const auto deadline = Clock::now() + std::chrono::seconds(c.waitSeconds > 0 ? c.waitSeconds : kStartSeconds);
    *status = kExitCheckFailed;
    while (listener->Reopen() != Io::Done) {
        DWORD code = 0;
        if (WaitForSingleObject(started->Process(), kLookMs) == WAIT_OBJECT_0) {
            GetExitCodeProcess(started->Process(), &code);
            *error = "zolemul: " + exe + " ended (status " + std::to_string(static_cast<int>(code)) +
                     ") without opening its port";
            return false;
        }
        if (StopRequested() || Clock::now() >= deadline) {
            *error = "zolemul: " + exe + (StopRequested() ? ": interrupted" : " did not open its port in time");
            return false;
        }
    }
    Say("started zolemul: " + exe + ", its COM2 " + listener->Name());
    s.device.owned = std::move(listener);
    s.device.ep = s.device.owned.get();
    s.device.open = true;
    s.started = std::move(started);
    return true;
}

}  // namespace zolhost
