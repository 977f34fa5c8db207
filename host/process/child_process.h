// Programs zolhost starts for the benchmark (zolemul, the pyserial baseline), and
// the terminal a program's console can be given. POSIX only; elsewhere Start and
// Open say so.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zolhost {

// A terminal for a program's console: a pty whose master end zolhost drains as a
// terminal emulator would, from the thread that drives the program's link
// (Channel::ServeBeside), so the console competes with the link as a terminal
// does and a program that waits for its console shows in the figures. It notes when
// each per-frame status text arrives. Also the way to press a key on that console.
class DrainedTerminal {
public:
    // A status text "...TORA:XX\r" arrived, at `at`.
    using TextSeen = std::function<void(std::uint8_t tora, std::chrono::steady_clock::time_point at)>;

    DrainedTerminal();
    ~DrainedTerminal();  // closes the pty
    DrainedTerminal(const DrainedTerminal&) = delete;
    DrainedTerminal& operator=(const DrainedTerminal&) = delete;

    // Makes the pty. false with *error.
    bool Open(std::string* error);
    // The end a program writes to (and reads keys from).
    const std::string& SlavePath() const;
    // The end zolhost reads; -1 when there is none.
    int Fd() const;
    // Reads what has arrived without waiting; false once nothing more can come.
    bool TakeWaiting();
    // The latest whole status text of a frame read so far, as the program's
    // console showed it ("Frame 3 receivedEA:2E, TORA:D1"); empty: none yet.
    const std::string& LatestFrameText() const;
    void OnText(TextSeen seen);
    // Types one key on the console. false when it could not be written.
    bool PressKey(char key);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class ChildProcess {
public:
    struct Launch {
        std::vector<std::string> argv;  // argv[0] is looked up in PATH when it has no '/'
        std::string cwd;                // empty: zolhost's own
        // Console: a terminal's path for standard input, output and error, made the
        // child's controlling terminal in a session of its own. Empty: standard
        // input and output on /dev/null, standard error shared with zolhost's.
        std::string console;
        bool quiet = false;  // without a console: standard error on /dev/null too
    };

    ChildProcess();
    ~ChildProcess();  // a child still running is ended (SIGTERM, then SIGKILL) and reaped
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts the program. false with *error when it could not be run at all.
    bool Start(const Launch& launch, std::string* error);
    bool Running();
    // The process's id once started (it stays the same after it ended); -1 before.
    std::int64_t Pid() const;
    // Waits up to timeoutMs for it to end: its exit status, or 128 + the signal that
    // ended it; nothing while it still runs.
    std::optional<int> Wait(int timeoutMs);
    // Asks it to end (SIGTERM) and waits up to timeoutMs; then ends it by force.
    std::optional<int> Terminate(int timeoutMs);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs argv with every standard stream on /dev/null; true when it exits with 0
// within timeoutMs.
bool RunsCleanly(const std::vector<std::string>& argv, int timeoutMs);

}  // namespace zolhost
