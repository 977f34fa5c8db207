#include "host/process/emulator_process.h"

#include <filesystem>
#include <vector>

#include "host/system/system.h"

namespace zolhost {

std::string FindEmulator(const std::string& given, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!given.empty()) {
        const fs::path p = fs::absolute(given, ec);
        if (ec || !fs::is_regular_file(p, ec)) {
            *error = "--device-exe " + given + ": no such program";
            return {};
        }
        return p.string();
    }
    const std::string own = OwnDirectory();
    std::vector<fs::path> looked;
    for (const char* dir : {".", ".."}) {
#ifdef _WIN32
        const fs::path p = (fs::path(own) / dir / "zolemul.exe").lexically_normal();
#else
        const fs::path p = (fs::path(own) / dir / "zolemul").lexically_normal();
#endif
        if (!own.empty() && fs::is_regular_file(p, ec)) {
            return p.string();
        }
        looked.push_back(p);
    }
    *error = "no zolemul beside zolhost (looked for " + looked[0].string() + " and " + looked[1].string() +
             "): give --device-exe PATH";
    return {};
}

bool WaitOpened(PtyEndpoint& link, ChildProcess& child, Clock::time_point deadline, std::string* error) {
    for (;;) {
        const Io r = link.WaitForPeer(100, error);
        if (r == Io::Done) {
            return true;
        }
        if (r != Io::Timeout) {
            if (error->empty()) {
                *error = "interrupted";
            }
            return false;
        }
        if (!child.Running()) {
            const std::optional<int> status = child.Wait(0);
            *error = "ended (status " + std::to_string(status ? *status : -1) + ") without opening its port";
            return false;
        }
        if (Clock::now() >= deadline) {
            *error = "did not open its port in time";
            return false;
        }
    }
}

EmulatorProcess::~EmulatorProcess() {
    // One that never opened its port is not a zolemul at work: no key is waited for.
    // A hung one (stopped, or deaf to its key) is not waited for twice.
    if (Running() && !(up_ && !keyPressed_ && console_.PressKey('q') && child_.Wait(kEndMs))) {
        child_.Terminate(up_ && !keyPressed_ ? kEndMs : kNotUpEndMs);
    }
    port_.reset();  // its symlink goes before the dir
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove(dir_, ec);  // only when empty: nothing but ours goes
    }
}

bool EmulatorProcess::Start(const std::string& exe, const std::string& dirPrefix, Clock::time_point deadline,
                            std::string* error) {
    dir_ = MakeTempDir(dirPrefix, error);
    if (dir_.empty()) {
        return false;
    }
    port_ = std::make_unique<PtyEndpoint>();
    if (!port_->Create(dir_, kDevicePortName, error) || !console_.Open(error)) {
        return false;
    }
    ChildProcess::Launch launch;
    launch.argv = {exe};
    launch.cwd = dir_;
    launch.console = console_.SlavePath();
    if (!child_.Start(launch, error)) {
        return false;
    }
    started_ = true;
    if (!WaitOpened(*port_, child_, deadline, error)) {
        return false;
    }
    port_->ReleaseDevice();  // the open is seen: from now on its closing is a hang-up
    // Nothing else knows its dir, and zolemul closes its port only as it ends.
    port_->SayWhileGone(" closed: zolemul let go of its port, as it does only when it ends");
    up_ = true;
    return true;
}

bool EmulatorProcess::End(std::string* error) {
    if (!Running()) {
        const std::optional<int> status = started_ ? child_.Wait(0) : std::nullopt;
        *error = "ended (status " + std::to_string(status ? *status : -1) + ") before its key press";
        return false;
    }
    console_.PressKey('q');
    keyPressed_ = true;
    const std::optional<int> status = child_.Wait(kEndMs);
    if (!status) {
        *error = "still running " + std::to_string(kEndMs / 1000) + " s after a key press on its console";
        return false;
    }
    if (*status != 0) {
        *error = "exit status " + std::to_string(*status) + " after a key press on its console";
        return false;
    }
    return true;
}

}  // namespace zolhost
