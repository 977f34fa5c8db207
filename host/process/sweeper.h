// What a zolhost command makes that says a device or a port is there (a manifest,
// a device's directory, a pty's symlink, a temp dir) must not outlive it when it is
// killed outright (SIGKILL: no handler of its own runs). A sweeper, a process
// forked before any thread and outside the command's process group, holds the read
// end of a pipe; the command tells it each such path it makes. At a clean end the
// command has removed them itself and says so with an empty line. When the pipe
// closes without it, the command is gone: the sweeper removes what it was told,
// newest first (a directory only when empty), and ends. POSIX only (serve, run).
#pragma once

#include <string>

namespace zolhost {

class Sweeper {
public:
    Sweeper();   // forks the sweeper: before any thread is started
    ~Sweeper();  // everything is gone already: the sweeper is told so and waited for
    Sweeper(const Sweeper&) = delete;
    Sweeper& operator=(const Sweeper&) = delete;
    // A path to remove if the command is killed (nothing for an empty one).
    void Add(const std::string& path);

private:
    int pid_ = -1;
    int fd_ = -1;
};

}  // namespace zolhost
