// zolemul as zolhost starts it (link --spawn, the benchmark): in a temp dir of its
// own, its port (COM2 there) the device end of a pty zolhost holds, its console on
// a pty zolhost drains as a terminal would; ended as a person ends it, with a key
// press on that console. POSIX only (ptys); elsewhere Start says so.
#pragma once

#include <memory>
#include <string>

#include "host/base/clock.h"
#include "host/local/pty_endpoint.h"
#include "host/process/child_process.h"

namespace zolhost {

inline constexpr int kStartSeconds = 20;  // for a started program to open its port and answer, unless --wait says
inline constexpr int kEndMs = 10000;      // for zolemul to end after its key press
inline constexpr int kNotUpEndMs = 1000;  // for a program that never opened its port to end after SIGTERM

// zolemul as zolhost starts it: `given` when not empty, else the one beside zolhost
// (in its directory or the one above, as in a build tree). Empty with *error when
// there is none.
std::string FindEmulator(const std::string& given, std::string* error);

// Waits until the program opens the device end of `link`, or ends, or time is up.
bool WaitOpened(PtyEndpoint& link, ChildProcess& child, Clock::time_point deadline, std::string* error);

class EmulatorProcess {
public:
    // Ends it if it still runs (a key, then by force; one that never opened its
    // port, or that End() waited for in vain, by SIGTERM at once and SIGKILL a
    // second later), closes its port and console, and removes its dir.
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;
    EmulatorProcess() = default;

    // Makes the dir and the port, starts `exe` there and waits until it has its port
    // open (the port then hangs up when it closes it). false with *error.
    bool Start(const std::string& exe, const std::string& dirPrefix, Clock::time_point deadline, std::string* error);
    const std::string& Dir() const { return dir_; }
    // Its port's other end; the port is the process's and lives as long as it.
    PtyEndpoint& Port() { return *port_; }
    DrainedTerminal& Console() { return console_; }
    bool Running() { return started_ && child_.Running(); }
    // zolemul's process id once started; -1 before.
    std::int64_t Pid() const { return child_.Pid(); }
    // Presses a key on its console and waits for it to end: true when it ended with
    // status 0; false with *error when it had ended already, or would not end, or
    // ended otherwise.
    bool End(std::string* error);

private:
    std::string dir_;
    std::unique_ptr<PtyEndpoint> port_;
    DrainedTerminal console_;
    ChildProcess child_;
    bool started_ = false;
    bool up_ = false;  // it opened its port
    bool keyPressed_ = false;  // End() has pressed its key and waited once: no second wait
};

}  // namespace zolhost
