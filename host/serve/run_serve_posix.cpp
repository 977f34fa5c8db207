// zolhost serve from its configuration: zolemul found, the host ends named, one
// thread for all built-in devices and one for each zolemul, the devices' document
// once all are up, and the summary once a stop has ended them all.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "host/base/system.h"
#include "host/base/text.h"
#include "host/serve/control_http.h"
#include "host/serve/serve.h"
#include "host/serve/serve_device.h"
#include "host/serve/serve_report.h"
#include "platform/posix_signals.h"
#include "protocol/frame_rules.h"

namespace zolhost {

namespace {

constexpr int kLookMs = 50;  // how often the main thread looks at the board

unsigned Cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

// The host end a device's link makes, from what was asked for it.
std::string HostPathOf(const std::string& host, const std::string& ptyDir, std::size_t index) {
    if (host == "pty") {
        return ptyDir + "/device-" + std::to_string(index);
    }
    if (host == "rfc2217" || host == "tcp") {
        return host + "://127.0.0.1:0";
    }
    return host;
}

// Sleeps until a stop request, standard input (when watched) or kLookMs; true
// when standard input has ended.
bool StdinEnded(bool watch) {
    pollfd fds[2] = {{StopWakeFd(), POLLIN, 0}, {watch ? STDIN_FILENO : -1, POLLIN, 0}};
    if (poll(fds, 2, kLookMs) <= 0 || fds[1].revents == 0) {
        return false;
    }
    char buf[4096];
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    return n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN);
}

// Waits until every device is up (kExitGood), one fails (its status), or a stop
// is requested (kExitGood, with nothing served).
int WaitUntilUp(const DeviceBoard& board, bool watchStdin, bool* up) {
    for (;;) {
        const std::vector<DeviceState> states = board.Snapshot();
        std::size_t count = 0;
        for (std::size_t i = 0; i < states.size(); ++i) {
            if (states[i].phase == DeviceState::Phase::Failed) {
                Say("device " + std::to_string(i) + " did not come up: " + states[i].error);
                return states[i].status != kExitGood ? states[i].status : kExitCheckFailed;
            }
            count += states[i].phase == DeviceState::Phase::Up ? 1 : 0;
        }
        if (count == states.size()) {
            *up = true;
            return kExitGood;
        }
        if (StopRequested()) {
            Say("stopped before every device was up");
            return kExitGood;
        }
        if (StdinEnded(watchStdin)) {
            Say("standard input closed before every device was up");
            return kExitGood;
        }
    }
}

// Serves until a stop is requested, standard input ends (when watched) or a
// zolemul ends on its own (kExitCheckFailed).
int WhileServing(const DeviceBoard& board, bool watchStdin) {
    for (;;) {
        if (StopRequested()) {
            return kExitGood;
        }
        if (StdinEnded(watchStdin)) {
            Say("standard input closed: ending every device");
            return kExitGood;
        }
        const std::vector<DeviceState> states = board.Snapshot();
        for (std::size_t i = 0; i < states.size(); ++i) {
            if (states[i].phase == DeviceState::Phase::Ended && !states[i].error.empty()) {
                Say("device " + std::to_string(i) + ": " + states[i].error + "; ending every device");
                return kExitCheckFailed;
            }
        }
    }
}

// kExitGood when every device's zolemul ended cleanly at the stop; else each one
// that did not is said, and kExitCheckFailed.
int EndedCleanly(const std::vector<DeviceState>& states) {
    int status = kExitGood;
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (states[i].phase == DeviceState::Phase::Ended && !states[i].summary.endedCleanly) {
            Say("device " + std::to_string(i) + " did not end cleanly: zolemul " + states[i].summary.endError);
            status = kExitCheckFailed;
        }
    }
    return status;
}

// What serve leaves behind if it is killed outright (SIGKILL: no handler of its own
// runs) must not claim live devices. A sweeper, a process forked before any thread
// and outside serve's process group, holds the read end of a pipe; serve tells it
// each path it makes that says a device is there (the manifest, each device's
// directory and port, each pty host end, its own pty directory). At a clean end
// serve has removed them itself and says so with an empty line. When the pipe
// closes without it, serve is gone: the sweeper removes what it was told, newest
// first (a directory only when empty), and ends.
class Sweeper {
public:
    Sweeper() {
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(p[1]);
            Sweep(p[0]);
        }
        close(p[0]);
        fd_ = pid_ > 0 ? p[1] : -1;
        if (pid_ < 0) {
            close(p[1]);
        }
    }
    ~Sweeper() {
        if (fd_ >= 0) {
            (void)!write(fd_, "\n", 1);  // everything is gone already
            close(fd_);
            waitpid(pid_, nullptr, 0);
        }
    }
    Sweeper(const Sweeper&) = delete;
    Sweeper& operator=(const Sweeper&) = delete;
    void Add(const std::string& path) {
        const std::string line = path + "\n";
        if (fd_ >= 0 && !path.empty()) {
            (void)!write(fd_, line.data(), line.size());
        }
    }

private:
    [[noreturn]] static void Sweep(int in) {
        setsid();
        for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            signal(sig, SIG_IGN);
        }
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd) {
            dup2(null, fd);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd != in) {
                close(fd);  // serve's standard output above all: its reader waits for its end
            }
        }
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = read(in, buf, sizeof buf)) != 0;) {
            if (n > 0) {
                text.append(buf, static_cast<std::size_t>(n));
            } else if (errno != EINTR) {
                break;
            }
        }
        std::vector<std::string> paths;
        bool done = false;
        for (std::size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
            done = nl == at;
            paths.push_back(text.substr(at, nl - at));
        }
        for (auto p = paths.rbegin(); !done && p != paths.rend(); ++p) {
            struct stat st {};
            if (lstat(p->c_str(), &st) == 0) {
                (void)(S_ISDIR(st.st_mode) ? rmdir(p->c_str()) : unlink(p->c_str()));
            }
        }
        _exit(0);
    }
    pid_t pid_ = -1;
    int fd_ = -1;
};

// Descriptors a device takes at most: its host end (a listener and its client, or a
// pty's two sides and their watch), and for zolemul its pty, console and process.
constexpr rlim_t kFilesPerDevice = 4;
constexpr rlim_t kFilesPerZolemul = 8;
constexpr rlim_t kFilesBeside = 64;

// Raises the soft limit on open files as far as the devices need and the hard
// limit lets; says so when it cannot.
void RaiseFileLimit(const ServeConfig& c) {
    rlim_t need = kFilesBeside;
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

void SayWhatCoresCost(std::size_t devices, unsigned cores) {
    if (devices <= cores) {
        return;
    }
    Say(std::to_string(devices) + " devices on " + std::to_string(cores) +
        " cores: each zolemul polls without sleeping and wants a core of its own, so they share the cores with "
        "each other, the links and the host programs, and nothing else on this machine gets one. Round trips "
        "grow with devices per core: at wire pace, 1.4 ms alone, p99 about 2 ms at 2 a core, 6 ms at 4, 20 ms "
        "at 8 (tools/serve-scale.py on a 2-core machine; docs/many-devices.md)");
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
    std::string error;
    for (const ServedDevice& d : c.devices) {
        if (d.link.device != LinkConfig::DeviceEnd::Builtin && FindEmulator(d.link.deviceExe, &error).empty()) {
            Say(error);
            return kExitCheckFailed;
        }
    }
    if (!c.manifest.empty() && !CanWriteWhole(c.manifest, &error)) {
        Say(error);
        return kExitNoLink;
    }
    std::string ptyDir;
    bool ownDir = false;
    if (!PtyDir(c, &ptyDir, &ownDir, &error)) {
        Say(error);
        return kExitNoLink;
    }
    if (ownDir) {
        sweeper.Add(ptyDir);
    }
    ServeConfig run = c;
    for (std::size_t i = 0; i < run.devices.size(); ++i) {
        run.devices[i].link.hostPath = HostPathOf(run.devices[i].host, ptyDir, i);
        if (run.devices[i].host == "pty") {
            sweeper.Add(run.devices[i].link.hostPath);
        }
    }
    const unsigned cores = Cores();
    std::vector<LinkConfig> configs;
    std::vector<std::size_t> builtin;
    for (std::size_t i = 0; i < run.devices.size(); ++i) {
        configs.push_back(run.devices[i].link);
        if (run.devices[i].link.device == LinkConfig::DeviceEnd::Builtin) {
            builtin.push_back(i);
        }
    }
    SayWhatCoresCost(run.devices.size() - builtin.size(), cores);
    RaiseFileLimit(run);
    DeviceBoard board(run.devices.size());
    // A mailbox for each thread that runs links: the built-in devices' one, and
    // each zolemul's; the control API hands its commands through them.
    std::vector<std::unique_ptr<SteerMailbox>> mailboxes;
    std::vector<SteerMailbox*> mailboxOf(run.devices.size(), nullptr);
    std::vector<std::thread> threads;
    {
        const AllSignalsBlocked blocked;  // signals stay with this thread, which watches for them
        if (!builtin.empty()) {
            mailboxes.push_back(std::make_unique<SteerMailbox>());
            for (const std::size_t i : builtin) {
                mailboxOf[i] = mailboxes.back().get();
            }
            threads.emplace_back(ServeBuiltinDevices, std::cref(configs), std::cref(builtin), std::ref(board),
                                 mailboxes.back().get());
        }
        for (std::size_t i = 0; i < run.devices.size(); ++i) {
            if (configs[i].device != LinkConfig::DeviceEnd::Builtin) {
                mailboxes.push_back(std::make_unique<SteerMailbox>());
                mailboxOf[i] = mailboxes.back().get();
                threads.emplace_back(ServeDevice, std::cref(configs[i]), i, std::ref(board), mailboxes.back().get());
            }
        }
    }
    bool up = false;
    int status = WaitUntilUp(board, c.exitWithStdin, &up);
    bool manifest = false;
    ControlServer control(mailboxOf);
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
        // The file first: once the document is on standard output, the devices are up.
        const std::vector<DeviceState> states = board.Snapshot();
        for (const DeviceState& d : states) {
            if (!d.dir.empty()) {  // a zolemul's; a built-in device has none
                sweeper.Add(d.dir);
                sweeper.Add(d.dir + "/" + kDevicePortName);
            }
        }
        sweeper.Add(c.manifest);
        const std::string doc = DevicesJson(run, states, cores, controlAt);
        manifest = !c.manifest.empty() && WriteWhole(c.manifest, doc, &error);
        if (!c.manifest.empty() && !manifest) {
            Say(error);
            status = kExitNoLink;
            up = false;
        } else {
            std::printf("%s\n", doc.c_str());
            std::fflush(stdout);
            const std::size_t n = run.devices.size();
            Say("serving " + std::to_string(n) + (n == 1 ? " device" : " devices") + "; Ctrl-C or SIGTERM ends them");
            status = WhileServing(board, c.exitWithStdin);
        }
    }
    control.Stop();
    RequestStop();
    for (std::thread& t : threads) {
        t.join();
    }
    if (up) {
        const std::vector<DeviceState> states = board.Snapshot();
        std::printf("%s\n", SummaryJson(states).c_str());
        std::fflush(stdout);
        status = status != kExitGood ? status : EndedCleanly(states);
    }
    std::error_code ec;
    if (manifest) {
        std::filesystem::remove(c.manifest, ec);
    }
    if (ownDir) {
        std::filesystem::remove(ptyDir, ec);  // only when empty: nothing but ours goes
    }
    return status;
}

}  // namespace zolhost
