// Test support: pty pairs, a child process on its own console, and readers that
// collect what a file descriptor delivers so tests can wait for it with deadlines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A wait's limit as the tests run here: `limit` times ZOLEMUL_E2E_TIME_SCALE (a whole
// number from 1 to 20, 1 when unset). The Windows step sets it where Wine's loader
// runs emulated and everything takes a few times as long; the limits only bound a
// failing test, so a hang still fails, later. Collector and Child waits apply it.
std::chrono::milliseconds Scaled(std::chrono::milliseconds limit);

// A pty pair: the test keeps the master; a program opens the slave by its path.
// The pair also keeps a slave descriptor of its own, so the master does not hang up
// before the program has opened the slave or after it has closed it.
class PtyPair {
public:
    // raw: every byte passes unchanged (a serial link). Otherwise the slave keeps a
    // terminal's usual settings (echo, line editing), output processing aside, so a
    // console's output arrives as written.
    explicit PtyPair(bool raw = true);
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    int slave() const { return slave_; }
    void closeMaster();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

// Collects everything readable on fd in a background thread.
class Collector {
public:
    explicit Collector(int fd);
    ~Collector();
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    Bytes bytes() const;
    std::string text() const;
    std::size_t size() const;
    // Waits until pred(all bytes so far) holds; false at the deadline.
    bool waitFor(const std::function<bool(const Bytes&)>& pred, std::chrono::milliseconds limit) const;
    bool waitForText(const std::string& needle, std::chrono::milliseconds limit) const;
    bool waitForSize(std::size_t n, std::chrono::milliseconds limit) const;
    // Drops what has been collected so far.
    void clear();

private:
    void run();

    int fd_;
    int wakeFd_;
    mutable std::mutex m_;
    mutable std::condition_variable cv_;
    Bytes data_;
    std::thread thread_;
};

// A child process, started in its own session with the given console as its
// controlling terminal (or with the given stdin and stdout).
class Child {
public:
    struct Options {
        std::vector<std::string> argv;
        std::string cwd;
        std::string consolePath;  // controlling terminal for stdin/stdout/stderr
        int stdinFd = -1;         // instead of a console: stdin from this fd ...
        int stdoutFd = -1;        // ... and stdout/stderr to this one
    };
    // As stdinFd or stdoutFd: the child starts with that stream closed.
    static constexpr int kClosed = -2;
    explicit Child(const Options& options);
    ~Child();  // kills the child if it still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    // Exit status (0-255), or -signal when killed; nullopt if still running at the
    // deadline.
    std::optional<int> wait(std::chrono::milliseconds limit);
    bool running();
    void signal(int sig);
    // What each of the child's threads has used so far: CPU time, and how many
    // times it was put on a CPU (each wake-up of a sleeping thread counts one).
    struct ThreadUsage {
        std::string name;
        bool main = false;
        std::chrono::nanoseconds cpu{0};
        long runs = 0;
    };
    std::map<pid_t, ThreadUsage> threadUsage() const;

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// A fresh directory, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Request frame with the given data bytes and its checksum.
Bytes Request(std::uint8_t d1, std::uint8_t d2 = 0, std::uint8_t d3 = 0, std::uint8_t d4 = 0);
// The reply the device owes a request whose first data byte is d1.
Bytes ReplyFor(std::uint8_t d1);
void WriteAll(int fd, const Bytes& bytes);
std::string Hex(const Bytes& bytes);

// The text a terminal screen shows after receiving `output`: printable characters
// placed at the cursor, "\r" back to the start of the line, "\n" to the start of
// the next, and the cursor movement and erase sequences of a console host that
// redraws its screen instead of passing text through (Wine's does). Lines are
// joined with "\n", trailing blanks dropped; the line holding the cursor is the
// last, even when empty.
std::string ScreenText(const std::string& output);

}  // namespace testsupport
