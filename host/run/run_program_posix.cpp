// zolhost run on POSIX systems: the links made (a pty host end each, in a temp dir
// of run's own), the program started with the preloaded library and the map of its
// paths in its environment, the links run on this thread until it ends, and its
// status passed on. A device end that goes takes the program's port with it, as a
// pulled adapter does; when it comes back, so does the port.
#include "host/run/run_program.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "host/base/text.h"
#include "host/link/link_set.h"
#include "host/process/sweeper.h"
#include "host/run/run_links.h"
#include "host/system/system.h"

extern char** environ;

namespace zolhost {

namespace {

// The program, while it runs (0: none), for the signal handlers.
volatile sig_atomic_t gProgram = 0;
int gWakeWrite = -1;  // a byte here wakes the links' wait: a child changed
volatile sig_atomic_t gChildChanged = 0;  // since the program was last looked at

// SIGINT, SIGTERM and SIGHUP go to the program, which decides; zolhost ends when it
// does. One the terminal sent went to the program already (same process group).
void PassOn(int sig, siginfo_t* info, void*) {
    const int saved = errno;
    if (gProgram > 0 && info->si_code != SI_KERNEL) {
        kill(static_cast<pid_t>(gProgram), sig);
    }
    errno = saved;
}

void ChildChanged(int) {
    const int saved = errno;
    gChildChanged = 1;
    const char b = 1;
    (void)!write(gWakeWrite, &b, 1);
    errno = saved;
}

void HandleSignals() {
    struct sigaction sa {};
    sa.sa_sigaction = PassOn;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
    }
    struct sigaction child {};
    child.sa_handler = ChildChanged;
    child.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&child.sa_mask);
    sigaction(SIGCHLD, &child, nullptr);
}

// The preloaded library: beside zolhost (the build tree), or where it is installed.
std::string FindShim(std::string* error) {
    const std::string own = OwnDirectory();
    for (const std::string& at : {own + "/" + kTtyShimName, own + "/" ZOL_TTY_SHIM_FROM_BIN "/" + kTtyShimName}) {
        if (access(at.c_str(), R_OK) == 0) {
            return at;
        }
    }
    *error = std::string("cannot find ") + kTtyShimName + " beside zolhost (" + own + ") or in " + own +
             "/" ZOL_TTY_SHIM_FROM_BIN;
    return {};
}

// The file a program name starts, as the PATH search of exec finds it; empty when none.
std::string Located(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    for (std::size_t at = 0; at <= dirs.size();) {
        std::size_t end = dirs.find(':', at);
        end = end == std::string::npos ? dirs.size() : end;
        const std::string dir = end > at ? dirs.substr(at, end - at) : ".";
        const std::string file = dir + "/" + name;
        struct stat st {};
        if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(file.c_str(), X_OK) == 0) {
            return file;
        }
        at = end + 1;
    }
    return {};
}

template <typename Ehdr, typename Phdr>
bool HasInterpreter(int fd) {
    Ehdr h{};
    if (pread(fd, &h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
        return true;  // not told: no warning
    }
    for (unsigned k = 0; k < h.e_phnum; ++k) {
        Phdr p{};
        if (pread(fd, &p, sizeof p, static_cast<off_t>(h.e_phoff + k * h.e_phentsize)) != static_cast<ssize_t>(sizeof p)) {
            return true;
        }
        if (p.p_type == PT_INTERP) {
            return true;
        }
    }
    return false;
}

// An ELF program with no interpreter is linked statically: nothing is preloaded
// into it, and it opens the real paths.
bool StaticallyLinked(const std::string& file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    unsigned char ident[EI_NIDENT] = {};
    bool isStatic = false;
    if (read(fd, ident, sizeof ident) == EI_NIDENT && std::memcmp(ident, ELFMAG, SELFMAG) == 0) {
        isStatic = ident[EI_CLASS] == ELFCLASS64 ? !HasInterpreter<Elf64_Ehdr, Elf64_Phdr>(fd)
                                                 : !HasInterpreter<Elf32_Ehdr, Elf32_Phdr>(fd);
    }
    close(fd);
    return isStatic;
}

// The program's environment: zolhost's, with the library preloaded first and the
// map of its paths.
std::vector<std::string> ProgramEnvironment(const std::string& shim, const std::string& map) {
    std::vector<std::string> env;
    std::string preload = "LD_PRELOAD=" + shim;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string kv = *e;
        if (kv.rfind("LD_PRELOAD=", 0) == 0) {
            preload.append(" ").append(kv, 11);
        } else if (kv.rfind("ZOLHOST_TTYS=", 0) != 0) {
            env.push_back(kv);
        }
    }
    env.push_back(preload);
    env.push_back("ZOLHOST_TTYS=" + map);
    return env;
}

// Starts the program; its pid, or -1 with the reason (an errno value) in *failure.
pid_t Spawn(const std::vector<std::string>& program, const std::vector<std::string>& env, int* failure) {
    std::vector<char*> argv;
    for (const std::string& a : program) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigset_t reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigaddset(&reset, sig);  // zolhost ignores or handles them; the program starts as usual
    }
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &reset);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    *failure = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    return *failure == 0 ? pid : -1;
}

int StatusOf(int waited) {
    return WIFEXITED(waited) ? WEXITSTATUS(waited) : WIFSIGNALED(waited) ? 128 + WTERMSIG(waited) : kExitCheckFailed;
}

// Serves the links until the program ends; its status.
int ServeUntilEnded(std::vector<ServedPort>& served, pid_t pid, int wakeRead) {
    std::optional<int> status;
    std::vector<LinkUnit> units;
    for (ServedPort& s : served) {
        units.push_back({s.link.get(), s.record.get()});
    }
    LinkSetControl control;
    control.fd = wakeRead;
    control.next = [&](Clock::time_point now, const std::function<void(std::size_t)>& touching) {
        char drain[64];
        while (read(wakeRead, drain, sizeof drain) > 0) {
        }
        return FollowDevice(served, now, touching);
    };
    control.finished = [&] {
        int waited = 0;
        if (!status && gChildChanged != 0) {
            gChildChanged = 0;
            if (waitpid(pid, &waited, WNOHANG) == pid) {
                status = StatusOf(waited);
            }
        }
        if (!status && Mismatched(served)) {
            const char b = 1;
            (void)!write(gWakeWrite, &b, 1);  // the next round steers it
        }
        return status.has_value();
    };
    RunLinks(units, &control);
    if (!status) {  // a stop requested from within (none is from outside): wait for it all the same
        int waited = 0;
        while (waitpid(pid, &waited, 0) < 0 && errno == EINTR) {
        }
        status = StatusOf(waited);
    }
    return *status;
}

}  // namespace

int RunProgram(const RunConfig& c) {
    Sweeper sweeper;  // first made, last gone: what is left if zolhost is killed goes
    std::string error;
    const std::string shim = FindShim(&error);
    if (shim.empty()) {
        Say(error);
        return kExitNoLink;
    }
    if (shim.find_first_of(" :") != std::string::npos) {
        Say("cannot preload " + shim + ": the dynamic loader splits its path at spaces and colons");
        return kExitNoLink;
    }
    const std::string file = Located(c.program.front());
    if (!file.empty() && StaticallyLinked(file)) {
        Say("warning: " + file + " is linked statically (it has no ELF interpreter): nothing can be preloaded "
            "into it, and it opens the real paths");
    }
    const std::string dir = MakeTempDir("zolhost-run-", &error);
    if (dir.empty()) {
        Say(error);
        return kExitNoLink;
    }
    sweeper.Add(dir);
    int status = kExitNoLink;
    {
        std::vector<ServedPort> served;
        std::string map;
        if (dir.find_first_of(":=") != std::string::npos) {
            Say("the temp dir " + dir + " has ':' or '=' in its path: set TMPDIR to another");
        } else if (MakeLinks(c, [&dir](std::size_t k) { return dir + "/tty" + std::to_string(k); }, &served, &status)) {
            for (const ServedPort& s : served) {
                map += (map.empty() ? "" : ":") + s.path + "=" + s.config.hostPath;
                sweeper.Add(s.config.hostPath);
            }
            int wake[2];
            if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
                Say(std::string("cannot make a pipe: ") + std::strerror(errno));
            } else {
                gWakeWrite = wake[1];
                HandleSignals();
                sigset_t passed;
                sigset_t was;
                sigemptyset(&passed);
                for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
                    sigaddset(&passed, sig);
                }
                // Held until the program's pid is known, then passed on to it.
                sigprocmask(SIG_BLOCK, &passed, &was);
                int failure = 0;
                const pid_t pid = Spawn(c.program, ProgramEnvironment(shim, map), &failure);
                gProgram = pid > 0 ? pid : 0;
                sigprocmask(SIG_SETMASK, &was, nullptr);
                if (pid < 0) {
                    Say("cannot run " + c.program.front() + ": " + std::strerror(failure));
                    status = failure == ENOENT ? 127 : 126;
                } else {
                    status = ServeUntilEnded(served, pid, wake[0]);
                    gProgram = 0;
                    std::fflush(stdout);
                    dup2(STDERR_FILENO, STDOUT_FILENO);  // the program's output alone went there
                    PrintSummaries(served);
                }
                gWakeWrite = -1;
                close(wake[0]);
                close(wake[1]);
            }
        }
        for (ServedPort& s : served) {
            s.link.reset();
            s.host.reset();  // its symlink goes with it
        }
    }  // each device end ends here (a zolemul with its key press)
    std::error_code ec;
    std::filesystem::remove(dir, ec);  // only when empty: nothing but ours goes
    return status;
}

}  // namespace zolhost
