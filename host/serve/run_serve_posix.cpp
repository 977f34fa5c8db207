// zolhost serve on POSIX systems: what it adds around the run (serve_run.cpp):
// the sweeper of what a killed serve leaves, pty host ends in a directory, the
// open-files limit, signals kept by the main thread, and the control API.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <thread>
#include <vector>

#include "host/base/text.h"
#include "host/control/control_http.h"
#include "host/process/sweeper.h"
#include "host/serve/serve_run.h"
#include "host/system/system.h"
#include "platform/posix_signals.h"
#include "protocol/frame_rules.h"

namespace zolhost {

namespace {

constexpr int kLookMs = 50;  // how often the main thread looks at the board

}  // namespace

const char* const kServeEndsWith = "Ctrl-C or SIGTERM";

unsigned Cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

bool StdinEnded(bool watch) {
    pollfd fds[2] = {{StopWakeFd(), POLLIN, 0}, {watch ? STDIN_FILENO : -1, POLLIN, 0}};
    if (poll(fds, 2, kLookMs) <= 0 || fds[1].revents == 0) {
        return false;
    }
    char buf[4096];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    return n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
}

namespace {

// Descriptors a device takes at most: its host end (a listener and its client, or a
// pty's two sides and their watch), and for zolemul its pty, console and process.
constexpr rlim_t kFilesPerDevice = 4;
constexpr rlim_t kFilesPerZolemul = 8;
constexpr rlim_t kFilesBeside = 64;

// Raises the soft limit on open files as far as the devices need and the hard
// limit lets; says so when it cannot. (Windows has no such limit to raise: its
// sockets are handles, which a process may hold millions of.)
void RaiseFileLimit(const ServeConfig& c) {
    rlim_t need = kFilesBeside + kControlConnections;
    for (const ServedDevice& d : c.devices) {
        need += d.link.device == LinkConfig::DeviceEnd::Builtin ? kFilesPerDevice : kFilesPerZolemul;
    }
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY || r.rlim_cur >= need) {
        return;
    }
    const rlim_t was = r.rlim_cur;
    r.rlim_cur = r.rlim_max == RLIM_INFINITY ? need : std::min(need, r.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur < need) {
        Say(std::to_string(c.devices.size()) + " devices may need " + std::to_string(need) +
            " open files, and this process may have only " + std::to_string(getrlimit(RLIMIT_NOFILE, &r) == 0 ? r.rlim_cur : was) +
            " (ulimit -n; the hard limit is " + std::to_string(r.rlim_max) + "): devices may fail to come up");
    }
}

// Where the pty host ends go: the dir asked for, or one of serve's own (made here,
// *own set) when a device asks for a pty in it. false with *error.
bool PtyDir(const ServeConfig& c, std::string* dir, bool* own, std::string* error) {
    *dir = c.ptyDir;
    *own = false;
    for (const ServedDevice& d : c.devices) {
        if (d.host == "pty" && dir->empty()) {
            *dir = MakeTempDir("zolhost-serve-", error);
            *own = true;
            return !dir->empty();
        }
    }
    return true;
}

}  // namespace

int RunServe(const ServeConfig& c) {
    Sweeper sweeper;  // first made, last gone: after every removal below
    int status = kExitGood;
    if (!ServeCanStart(c, &status)) {
        return status;
    }
    std::string error;
    std::string ptyDir;
    bool ownDir = false;
    if (!PtyDir(c, &ptyDir, &ownDir, &error)) {
        Say(error);
        return kExitNoLink;
    }
    if (ownDir) {
        sweeper.Add(ptyDir);
    }
    const ServeConfig run = WithHostEnds(c, ptyDir);
    std::size_t zolemuls = 0;
    for (const ServedDevice& d : run.devices) {
        if (d.host == "pty") {
            sweeper.Add(d.link.hostPath);
        }
        zolemuls += d.link.device != LinkConfig::DeviceEnd::Builtin ? 1 : 0;
    }
    const unsigned cores = Cores();
    SayWhatCoresCost(zolemuls, cores);
    RaiseFileLimit(run);
    {
        ServeRun serving(run);  // its threads leave signals to this one, which watches for them
        bool up = false;
        status = serving.WaitUntilUp(&up);
        ControlServer control(serving.Mailboxes());
        ControlAt controlAt;
        if (up && !c.control.empty()) {
            const AllSignalsBlocked blocked;  // its threads too
            if (!control.Start(c.control, c.controlToken, &error)) {
                Say(error);
                status = kExitNoLink;
                up = false;
            }
            controlAt = {control.Url(), control.Token()};
        }
        if (up) {
            for (const DeviceState& d : serving.States()) {
                if (!d.dir.empty()) {  // a zolemul's; a built-in device has none
                    sweeper.Add(d.dir);
                    sweeper.Add(d.dir + "/" + kDevicePortName);
                }
            }
            sweeper.Add(c.manifest);
            status = serving.Serve(cores, controlAt);
        }
        control.Stop();
        status = serving.End(status);
    }
    if (ownDir) {
        std::error_code ec;
        std::filesystem::remove(ptyDir, ec);  // only when empty: nothing but ours goes
    }
    return status;
}

}  // namespace zolhost
