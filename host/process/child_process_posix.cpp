// Child processes and drained terminals on POSIX systems: fork and exec with a
// close-on-exec pipe that reports a failed exec, a pty from posix_openpt.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "host/process/child_process.h"
#include "host/system/system.h"
#include "platform/posix_signals.h"
#include "protocol/status_text.h"

namespace zolhost {

namespace {

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The program `name` as the shell would find it in PATH; empty when it is not there.
std::string InPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        std::size_t end = dirs.find(':', at);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        const std::string dir = end > at ? dirs.substr(at, end - at) : ".";
        const std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        at = end + 1;
    }
    return {};
}

// The path of the program argv[0] names; empty with *error when there is none.
std::string ProgramToRun(const std::vector<std::string>& argv, std::string* error) {
    if (argv.empty()) {
        *error = "no program to run";
        return {};
    }
    const std::string program = argv[0].find('/') == std::string::npos ? InPath(argv[0]) : argv[0];
    if (program.empty()) {
        *error = "cannot run " + argv[0] + ": not found in PATH";
    }
    return program;
}

// In the child, the ways to its standard streams; each gives 0, or the errno of
// what failed.

// The console: standard input, output and error on it, and it the controlling
// terminal of a session of the child's own.
int StreamsOnConsole(const std::string& console) {
    setsid();
    const int tty = open(console.c_str(), O_RDWR);
    if (tty < 0) {
        return errno;
    }
    ioctl(tty, TIOCSCTTY, 0);
    dup2(tty, STDIN_FILENO);
    dup2(tty, STDOUT_FILENO);
    dup2(tty, STDERR_FILENO);
    if (tty > STDERR_FILENO) {
        close(tty);
    }
    return 0;
}

// No console: standard input and output on /dev/null, standard error too when
// quiet, in a process group of the child's own.
int StreamsOnNull(bool quiet) {
    setpgid(0, 0);  // Ctrl-C at zolhost's terminal is zolhost's to handle
    const int null = open("/dev/null", O_RDWR);
    if (null < 0) {
        return errno;
    }
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    if (quiet) {
        dup2(null, STDERR_FILENO);
    }
    if (null > STDERR_FILENO) {
        close(null);
    }
    return 0;
}

// The child's end when it cannot run the program: e for zolhost to read, exit 127.
[[noreturn]] void FailInChild(int report, int e) {
    (void)!write(report, &e, sizeof e);
    _exit(127);
}

// The child after fork: sets up its streams, directory and signals and runs the
// program; when anything fails, reports errno on `report`.
[[noreturn]] void RunChild(const ChildProcess::Launch& launch, const std::string& program, char* const* argv,
                           int report) {
    // Where zolhost runs with standard streams closed, the report may sit on one of
    // them: it moves above them before they are set up, or a failed exec would read
    // as a success.
    if (report <= STDERR_FILENO) {
        report = fcntl(report, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    }
    const int streams = launch.console.empty() ? StreamsOnNull(launch.quiet) : StreamsOnConsole(launch.console);
    if (streams != 0) {
        FailInChild(report, streams);
    }
    if (!launch.cwd.empty() && chdir(launch.cwd.c_str()) != 0) {
        FailInChild(report, errno);
    }
    // zolhost ignores SIGPIPE and may run this from a thread with signals
    // blocked: the program starts with neither.
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(program.c_str(), argv);
    FailInChild(report, errno);
}

// Reads the child's report until exec closes it: true with *e when the child
// could not run the program.
bool ChildFailed(int report, int* e) {
    ssize_t n;
    do {
        n = read(report, e, sizeof *e);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof *e);
}

}  // namespace

struct DrainedTerminal::Impl {
    int master = -1;
    std::string slavePath;
    TextSeen seen;
    StatusTextScanner scanner;
};

DrainedTerminal::DrainedTerminal() : impl_(std::make_unique<Impl>()) {}

DrainedTerminal::~DrainedTerminal() {
    if (impl_->master >= 0) {
        close(impl_->master);
    }
}

bool DrainedTerminal::Open(std::string* error) {
    Impl& m = *impl_;
    m.master = OpenPty(&m.slavePath);
    if (m.master < 0) {
        *error = Errno("cannot make a terminal (pty)");
        return false;
    }
    const int flags = fcntl(m.master, F_GETFL);
    fcntl(m.master, F_SETFL, flags | O_NONBLOCK);
    return true;
}

const std::string& DrainedTerminal::SlavePath() const {
    return impl_->slavePath;
}

int DrainedTerminal::Fd() const {
    return impl_->master;
}

void DrainedTerminal::OnText(TextSeen seen) {
    impl_->seen = std::move(seen);
}

bool DrainedTerminal::TakeWaiting() {
    Impl& m = *impl_;
    char buf[4096];  // what a terminal emulator reads at a time
    for (;;) {
        const ssize_t n = read(m.master, buf, sizeof buf);
        if (n > 0) {
            std::vector<std::uint8_t> toras;
            m.scanner.Feed(buf, static_cast<std::size_t>(n), m.seen ? &toras : nullptr);
            const auto at = std::chrono::steady_clock::now();
            for (const std::uint8_t tora : toras) {
                m.seen(tora, at);
            }
            continue;
        }
        // EIO: nothing holds the other end open any more (until a program opens it again).
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

const std::string& DrainedTerminal::LatestFrameText() const {
    return impl_->scanner.Latest();
}

bool DrainedTerminal::PressKey(char key) {
    return impl_->master >= 0 && write(impl_->master, &key, 1) == 1;
}

struct ChildProcess::Impl {
    pid_t pid = -1;
    std::optional<int> status;

    // Reaps the child if it has ended.
    void Poll() {
        if (pid < 0 || status) {
            return;
        }
        int st = 0;
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        } else if (r < 0 && errno == ECHILD) {
            status = -1;  // not ours to reap any more
        }
    }
};

ChildProcess::ChildProcess() : impl_(std::make_unique<Impl>()) {}

ChildProcess::~ChildProcess() {
    Terminate(2000);
}

bool ChildProcess::Start(const Launch& launch, std::string* error) {
    // Everything the child needs is made before fork: after it, the child only
    // makes calls that are safe in a copy of a threaded process.
    const std::string program = ProgramToRun(launch.argv, error);
    if (program.empty()) {
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& a : launch.argv) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    int report[2];  // the child writes errno here when it cannot exec
    if (pipe2(report, O_CLOEXEC) != 0) {
        *error = Errno("pipe");
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        *error = Errno("fork");
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (pid == 0) {
        RunChild(launch, program, argv.data(), report[1]);
    }
    close(report[1]);
    int e = 0;
    const bool failed = ChildFailed(report[0], &e);
    close(report[0]);
    impl_->pid = pid;
    impl_->status.reset();
    if (failed) {
        Wait(1000);
        *error = "cannot run " + launch.argv[0] + ": " + std::strerror(e);
        return false;
    }
    return true;
}

std::int64_t ChildProcess::Pid() const {
    return impl_->pid;
}

bool ChildProcess::Running() {
    impl_->Poll();
    return impl_->pid >= 0 && !impl_->status;
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        impl_->Poll();
        if (impl_->pid < 0 || impl_->status || std::chrono::steady_clock::now() >= until) {
            return impl_->status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::optional<int> ChildProcess::Terminate(int timeoutMs) {
    if (!Running()) {
        return impl_->status;
    }
    kill(impl_->pid, SIGTERM);
    if (!Wait(timeoutMs)) {
        kill(impl_->pid, SIGKILL);
        Wait(5000);
    }
    return impl_->status;
}

bool RunsCleanly(const std::vector<std::string>& argv, int timeoutMs) {
    ChildProcess child;
    std::string error;
    ChildProcess::Launch launch;
    launch.argv = argv;
    launch.quiet = true;
    if (!child.Start(launch, &error)) {
        return false;
    }
    const std::optional<int> status = child.Wait(timeoutMs);
    return status && *status == 0;
}

}  // namespace zolhost
