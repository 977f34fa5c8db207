// zolhost's command line.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "host/bench/bench.h"
#include "host/cli/commands.h"
#include "host/link/link.h"
#include "host/replay/run_replay.h"
#include "host/stages/fault_plan.h"

namespace zolhost {

enum class DeviceKind { None, Virtual, Port };

// serve's control API unless --control says otherwise: on a free loopback port
// where it is built (POSIX systems), none on Windows.
#if defined(_WIN32)
inline constexpr char kControlByDefault[] = "off";
#else
inline constexpr char kControlByDefault[] = "127.0.0.1:0";
#endif
enum class Command { None, Ping, Drive, Bench, Link, Replay, Serve, Run };

struct Options {
    bool help = false;
    bool version = false;
    DeviceKind device = DeviceKind::None;
    std::string dir = ".";   // --virtual: where COM2 is made
    std::string port;        // --port: path (or COMn)
    bool trace = false;
    std::uint32_t paceBaud = 0;    // 0: requests go out whole
    bool paceGiven = false;        // link: without --pace, a virtual device end is paced at 115200
    int timeoutMs = 1000;          // wait for one reply
    int waitSeconds = 0;           // --virtual: wait for the device end to be opened; 0 = no limit

    Command command = Command::None;
    // ping
    std::array<std::uint8_t, 4> data = {0, 0, 0, 0};
    // drive
    double rate = 10;              // requests per second
    std::uint64_t count = 0;       // 0: until stopped
    // bench
    std::uint32_t frames = 10000;
    std::uint32_t window = 8;
    double noisePct = 0;
    bool json = false;
    bool baseline = false;
    std::uint64_t seed = 1;        // bench noise, link faults
    std::uint32_t rounds = 1;        // the whole measurement this often; figures are their median
    double pipelinedSeconds = 0;     // > 0: the pipelined phase runs this long instead of `frames`
    bool spawn = false;              // zolhost starts the device program itself
    bool builtin = false;            // link: the device built into zolhost is the device end
    std::string deviceExe;           // with spawn: the program; empty: zolemul beside zolhost
    // link
    std::string hostPath;          // the host program's port: a symlink made here
    FaultSettings faults;
    bool mismatchWarn = false;     // a host line unlike the device's: warn only (not garble)
    std::string pcapPath;          // a pcapng capture of the link; empty: none
    // replay
    std::string capture;           // what to replay
    bool fast = false;             // each packet once the one before is answered
    std::string asDevice;          // play the device to this host end
    bool stopAtDeviation = false;  // --on-deviation stop
    // serve
    std::uint64_t devices = 0;
    std::string host = "rfc2217";        // each device's host end: pty, rfc2217, tcp, a path or a URL
    std::string ptyDir;                  // where pty host ends go; empty: a temp dir of serve's own
    std::string manifest;                // the devices' document written here too
    std::string control = kControlByDefault;  // serve: the control API's HOST:PORT; "off": none
    std::string controlToken;             // serve: the token it requires off loopback (empty: made)
    bool exitWithStdin = false;          // standard input's end stops serve
    std::vector<std::string> perDevice;  // --on DEVICES:OPTIONS, in the order given
    // What plays each device: "builtin" (in zolhost) or "zolemul"; empty: not said,
    // builtin unless --device-exe names a zolemul (serve_options.h).
    std::string engine;
    // run
    std::vector<std::string> ttys;       // --tty PATH=END, in the order given
    std::vector<std::string> coms;       // --com COMn=END (Windows), in the order given
    std::vector<std::string> program;    // the program to start and its arguments
};

// Fills *o from the arguments (argv[0] is the program). false with *error set
// for a command line that cannot be run.
bool ParseOptions(int argc, const char* const* argv, Options* o, std::string* error);

// What each command runs with, from the command line.
LinkConfig LinkConfigOf(const Options& o);
BenchConfig BenchConfigOf(const Options& o);
PingConfig PingConfigOf(const Options& o);
DriveConfig DriveConfigOf(const Options& o);
ReplayConfig ReplayConfigOf(const Options& o);

const char* UsageText();

// "zolhost 1.0.0\n": the program and its release version.
const char* VersionText();

}  // namespace zolhost
