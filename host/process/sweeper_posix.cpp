#include "host/process/sweeper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace zolhost {

namespace {

// The sweeper's life: what it is told, until the pipe closes; then, unless the
// last line was empty, every path removed.
[[noreturn]] void Sweep(int in) {
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
            close(fd);  // the command's standard output above all: its reader waits for its end
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

}  // namespace

Sweeper::Sweeper() {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        return;
    }
    pid_ = static_cast<int>(fork());
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

Sweeper::~Sweeper() {
    if (fd_ >= 0) {
        (void)!write(fd_, "\n", 1);  // everything is gone already
        close(fd_);
        waitpid(static_cast<pid_t>(pid_), nullptr, 0);
    }
}

void Sweeper::Add(const std::string& path) {
    const std::string line = path + "\n";
    if (fd_ >= 0 && !path.empty()) {
        (void)!write(fd_, line.data(), line.size());
    }
}

}  // namespace zolhost
