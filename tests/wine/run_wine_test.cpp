// zolhost.exe run under Wine: a Windows program started with its COM ports served
// by zolhost, with nothing mapped for them in the Wine prefix. With a DLL of the
// tests' own in place of zolhost's (run_probe_dll.cpp): it is loaded before the
// program's first code runs, after its imports are bound, and the program is told
// its ports and its arguments as given; the program's exit status is run's, 127
// when there is no program; a DLL that does not load ends it before it runs; what
// run cannot serve is refused; Ctrl-C is the program's; a device end that goes
// takes the port with it and brings it back; killed, run leaves nothing listening.
// With zolhost's own DLL: zolemul.exe answers a Linux program through its COM2
// byte for byte, and zolhost.exe's bench through COM7 gets every reply from each
// kind of device end (the built-in device, zolemul.exe, a serial port).
//
// Runs when ZOLEMUL_E2E_LOADER names Wine's loader and ZOLHOST_E2E_RUN_BUILD a
// Windows build tree (its host/zolhost.exe, zolemul.exe and tests/wine/run_probe*),
// with Wine's server started beforehand in a session of its own, as the Windows
// step does: Ctrl-C and the end of a test go to the process group of run and its
// program, which a server started by run would be in.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "tests/support/pty_link.h"
#include "tests/wine/wine_program.h"

namespace {

using namespace testsupport;

constexpr const char* kWineOnly = "zolhost.exe run runs under Wine only (ZOLEMUL_E2E_LOADER, ZOLHOST_E2E_RUN_BUILD)";

bool Usable() {
    return !Env("ZOLEMUL_E2E_LOADER").empty() && !Env("ZOLHOST_E2E_RUN_BUILD").empty();
}

std::string Built(const std::string& file) {
    return Env("ZOLHOST_E2E_RUN_BUILD") + "/" + file;
}

// zolhost.exe in a folder of its own, with the tests' DLL beside it under the
// names of zolhost's own.
struct ProbeRig {
    ProbeRig() {
        std::filesystem::copy_file(Built("host/zolhost.exe"), dir / "zolhost.exe");
        for (const char* name : {"zolhost-com32.dll", "zolhost-com64.dll"}) {
            std::filesystem::copy_file(Built("tests/wine/run_probe_dll.dll"), dir / name);
        }
    }
    std::vector<std::string> Run(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {Env("ZOLEMUL_E2E_LOADER"), dir / "zolhost.exe", "run"};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    TempDir dir;
};

TEST(WineRun, ProgramHasItsPortsAndTheDllBeforeItsFirstCodeAndItsStatusIsRuns) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    ProbeRig rig;
    Program run(rig.Run({"--com", "com7=builtin", "--com", "\\\\.\\COM12=builtin", Built("tests/wine/run_probe.exe"),
                         "7"}));
    EXPECT_EQ(run.child->wait(60s), 7) << run.Text();
    const std::string out = run.TextWith("COM12:");
    EXPECT_NE(out.find("dll at start: imports bound"), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(ports: COM7=127\.0\.0\.1:\d+;COM12=127\.0\.0\.1:\d+\r?\n)")))
        << out;
}

// The program's arguments reach it as given, whatever its command line has to
// quote for them (spaces, quotes, backslashes before a quote or at the end).
TEST(WineRun, ArgumentsReachTheProgramAsGiven) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    ProbeRig rig;
    const std::vector<std::string> args = {"0", "0", "two words", "a\"quote", "C:\\dir\\", "back\\\"slash", "", "--com"};
    std::vector<std::string> argv = {"--com", "COM7=builtin", "--", Built("tests/wine/run_probe.exe")};
    argv.insert(argv.end(), args.begin(), args.end());
    Program run(rig.Run(argv));
    EXPECT_EQ(run.child->wait(60s), 0) << run.Text();
    std::string want;
    for (const std::string& a : args) {
        want += "arg: [" + a + "]\n";
    }
    std::string got = run.TextWith("COM7:");
    got.erase(std::remove(got.begin(), got.end(), '\r'), got.end());
    EXPECT_NE(got.find(want), std::string::npos) << "wanted:\n" << want << "got:\n" << got;
}

// A DLL that does not load: run says so and ends as a port that cannot be served,
// and the program, which would have run without its ports, never runs.
TEST(WineRun, DllThatDoesNotLoadEndsTheProgramBeforeItRuns) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    ProbeRig rig;
    for (const char* name : {"zolhost-com32.dll", "zolhost-com64.dll"}) {
        std::ofstream(rig.dir / name, std::ios::trunc) << "no DLL\n";
    }
    Program run(rig.Run({"--com", "COM7=builtin", Built("tests/wine/run_probe.exe")}));
    EXPECT_EQ(run.child->wait(60s), 3) << run.Text();
    const std::string out = run.TextWith("did not load");
    EXPECT_NE(out.find("did not load"), std::string::npos) << out;
    EXPECT_EQ(out.find("dll at start"), std::string::npos) << out;
}

TEST(WineRun, MissingProgramGives127) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    ProbeRig rig;
    Program run(rig.Run({"--com", "COM7=builtin", "no-such-program.exe"}));
    EXPECT_EQ(run.child->wait(60s), 127) << run.Text();
}

// The program prints `text` within `limit`; false at once when it ends first.
bool TextComes(Program& p, const std::string& text, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + Scaled(limit);
    while (std::chrono::steady_clock::now() < deadline) {
        if (p.Text().find(text) != std::string::npos) {
            return true;
        }
        if (!p.child->running()) {
            return p.TextWith(text).find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// A client of a port on loopback; false when it is refused.
bool Connects(int port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool made = s >= 0 && connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(s);
    return made;
}

// zolhost.exe killed outright while its program runs on: the program is not ended
// with it, and nothing of zolhost's is left to keep its ports open (no socket of
// zolhost's went to the program with its standard handles).
TEST(WineRun, KilledRunLeavesNothingListeningForTheProgram) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    ProbeRig rig;
    Program run(rig.Run({"--com", "COM7=builtin", Built("tests/wine/run_probe.exe"), "0", "60000"}));
    ASSERT_TRUE(TextComes(run, "ports: ", 60s)) << run.Text();
    std::smatch m;
    const std::string out = run.Text();  // the probe writes its lines at once
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(COM7=127\.0\.0\.1:(\d+))"))) << out;
    const int port = std::stoi(m[1]);
    EXPECT_TRUE(Connects(port)) << out;
    run.child->signal(SIGKILL);
    run.child->wait(10s);
    bool refused = false;
    for (const auto until = std::chrono::steady_clock::now() + Scaled(10s);
         !refused && std::chrono::steady_clock::now() < until;) {
        refused = !Connects(port);
        std::this_thread::sleep_for(100ms);
    }
    kill(-run.child->pid(), SIGKILL);  // the program, in the process group it shares with zolhost.exe
    EXPECT_TRUE(refused) << "COM7's port " << port << " still listens with zolhost.exe gone";
}

// What run cannot serve on Windows is a usage error, said before anything starts.
TEST(WineRun, RefusesWhatItCannotServe) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    ProbeRig rig;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--com", "COM256=builtin", "x.exe"}, "COM1 to COM255"},
        {{"--com", "COM07=builtin", "x.exe"}, "COM1 to COM255"},
        {{"--com", "COM7=builtin", "--com", "com7=builtin", "x.exe"}, "given twice"},
        {{"--tty", "/dev/ttyUSB0=builtin", "x.exe"}, "--tty is for Linux"},
    };
    for (const auto& [args, said] : cases) {
        Program run(rig.Run(args));
        EXPECT_EQ(run.child->wait(60s), 2) << run.Text();
        EXPECT_NE(run.TextWith(said).find(said), std::string::npos) << run.Text();
    }
}

// Ctrl-C on the console run and its program share (SIGINT to their process
// group, as Wine makes of it) is the program's to act on: one that goes on has its
// ports served on, past the time run gives a program once run itself is asked to
// stop (3 s).
TEST(WineRun, CtrlCIsTheProgramsToActOn) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    ProbeRig rig;
    Program run(rig.Run({"--com", "COM7=builtin", Built("tests/wine/run_probe.exe"), "0", "60000", "keep"}));
    ASSERT_TRUE(TextComes(run, "ports: ", 60s)) << run.Text();
    std::smatch m;
    const std::string out = run.Text();
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(COM7=127\.0\.0\.1:(\d+))"))) << out;
    kill(-run.child->pid(), SIGINT);
    std::this_thread::sleep_for(4s);
    EXPECT_TRUE(run.child->running()) << run.Text();
    EXPECT_TRUE(Connects(std::stoi(m[1]))) << "COM7 is gone after Ctrl-C\n" << run.Text();
    kill(-run.child->pid(), SIGKILL);
}

// A listener on loopback: its port (*port, 0: any; the one taken), and the socket
// (-1 on failure).
int ListenOnLoopback(int* port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(*port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 1) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return -1;
    }
    *port = ntohs(addr.sin_port);
    return s;
}

// Reads n bytes from s within `limit`; fewer when they did not come.
Bytes ReadSome(int s, std::size_t n, std::chrono::milliseconds limit) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + Scaled(limit);
    std::uint8_t buf[256];
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        const ssize_t r = read(s, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

// zolemul.exe, which opens COM2 and nothing else, run with COM2 in front of a
// Linux program that listens for zolhost's device end and sends requests: each is
// answered, byte for byte. Ctrl-C on the console they share (SIGINT to their
// process group, as Wine makes of it) ends zolemul; run waits for it and ends with
// its status.
TEST(WineRun, ZolemulAnswersALinuxProgramThroughItsPort) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    int port = 0;
    const int listener = ListenOnLoopback(&port);
    ASSERT_GE(listener, 0) << strerror(errno);
    Program run({Env("ZOLEMUL_E2E_LOADER"), Built("host/zolhost.exe"), "run", "--com",
                 "COM2=tcp://127.0.0.1:" + std::to_string(port), Built("zolemul.exe")});
    ASSERT_TRUE(TextComes(run, "Zol Emul Started in COM2", 60s)) << run.Text();
    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1) << "zolhost.exe's device end did not connect\n" << run.Text();
    const int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    ASSERT_GE(s, 0) << strerror(errno);
    for (int j = 0; j < 100; ++j) {
        WriteAll(s, Request(static_cast<std::uint8_t>(j)));
        ASSERT_EQ(Hex(ReadSome(s, 9, 10s)), Hex(ReplyFor(static_cast<std::uint8_t>(j)))) << "reply " << j << "\n"
                                                                                           << run.Text();
    }
    kill(-run.child->pid(), SIGINT);
    EXPECT_EQ(run.child->wait(30s), 0) << run.Text();
    // zolemul is at the link's host end here: its replies go host to device.
    const std::string summary = run.TextWith("device to host: ");
    EXPECT_NE(summary.find("host to device: 900 bytes"), std::string::npos) << summary;
    EXPECT_NE(summary.find("device to host: 700 bytes"), std::string::npos) << summary;
    close(s);
}

// A device on a pty's master: each request frame (7 bytes, all the bench sends)
// answered as the device answers it, until `stop`.
void AnswerOn(int master, const std::atomic<bool>& stop) {
    Bytes got;
    std::uint8_t buf[256];
    while (!stop) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        const ssize_t r = read(master, buf, sizeof buf);
        if (r <= 0) {
            continue;  // no slave open right now
        }
        got.insert(got.end(), buf, buf + r);
        for (; got.size() >= 7; got.erase(got.begin(), got.begin() + 7)) {
            WriteAll(master, ReplyFor(got[1]));
        }
    }
}

// A process of that name still running.
bool Running(const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream in(entry.path() / "cmdline");
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (cmdline.find(name) != std::string::npos) {
            return true;
        }
    }
    return false;
}

// zolhost.exe's own bench, a Windows program that opens COM7 with the serial
// layer's calls, through run's COM7 in front of each kind of device end run takes
// on Windows: the built-in device; zolemul.exe, started by run behind a listener
// of its own and ended with it; a serial port (Wine's COM3, a pty whose other side
// answers here).
TEST(WineRun, BenchThroughItsPortGetsEveryReplyFromEachKindOfDeviceEnd) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    // Where Wine takes COM3 from: the path the Windows step maps it to, else the prefix's own link.
    const std::string prefix = !Env("WINEPREFIX").empty() ? Env("WINEPREFIX") : Env("HOME") + "/.wine";
    const std::filesystem::path com3 = !Env("ZOLEMUL_E2E_COM3").empty()
                                           ? std::filesystem::path(Env("ZOLEMUL_E2E_COM3"))
                                           : std::filesystem::path(prefix) / "dosdevices" / "com3";
    PtyPair pty;
    std::filesystem::remove(com3);
    std::filesystem::create_symlink(pty.slavePath(), com3);
    std::atomic<bool> stop{false};
    std::thread device(AnswerOn, pty.master(), std::cref(stop));
    for (const std::string end : {"builtin", "zolemul", "COM3"}) {
        Program run({Env("ZOLEMUL_E2E_LOADER"), Built("host/zolhost.exe"), "run", "--com", "COM7=" + end,
                     Built("host/zolhost.exe"), "--port", "COM7", "bench", "--frames", "30"});
        EXPECT_EQ(run.child->wait(120s), 0) << end << "\n" << run.Text();
        const std::string out = run.TextWith("replies: ");
        EXPECT_NE(out.find("all replies good"), std::string::npos) << end << "\n" << out;
        EXPECT_NE(out.find("replies: 60, forwarded 60"), std::string::npos) << end << "\n" << out;
    }
    stop = true;
    device.join();
    std::filesystem::remove(com3);
    EXPECT_FALSE(Running("zolemul.exe")) << "a zolemul.exe run started outlived it";
}

// The one connection a listener is given within `limit`; -1 when none came.
int AcceptWithin(int listener, std::chrono::milliseconds limit) {
    pollfd p{listener, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(Scaled(limit).count())) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)
                                                                      : -1;
}

// Whether a client of `port` is taken (want) within `limit`.
bool ConnectsWithin(int port, bool want, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + Scaled(limit);
    while (Connects(port) != want) {
        if (std::chrono::steady_clock::now() >= until) {
            return false;
        }
        std::this_thread::sleep_for(100ms);
    }
    return true;
}

// A device end on the network that goes takes the program's port with it (nothing
// listens there for the program any more, as a pulled adapter is gone), and when it
// is back the port is too, at the same place the program was told of.
TEST(WineRun, PortGoesWithItsDeviceEndAndComesBackWithIt) {
    if (!Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    int devicePort = 0;
    int listener = ListenOnLoopback(&devicePort);
    ASSERT_GE(listener, 0) << strerror(errno);
    ProbeRig rig;
    Program run(rig.Run({"--com", "COM2=tcp://127.0.0.1:" + std::to_string(devicePort),
                         Built("tests/wine/run_probe.exe"), "0", "120000"}));
    int device = AcceptWithin(listener, 60s);
    ASSERT_GE(device, 0) << run.Text();
    ASSERT_TRUE(TextComes(run, "ports: ", 60s)) << run.Text();
    std::smatch m;
    const std::string out = run.Text();
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(COM2=127\.0\.0\.1:(\d+))"))) << out;
    const int port = std::stoi(m[1]);
    EXPECT_TRUE(Connects(port)) << out;

    close(listener);  // nothing to come back to yet
    close(device);
    EXPECT_TRUE(ConnectsWithin(port, false, 10s)) << "COM2 still listens with its device end gone\n" << run.Text();

    listener = ListenOnLoopback(&devicePort);
    ASSERT_GE(listener, 0) << strerror(errno);
    device = AcceptWithin(listener, 30s);
    EXPECT_GE(device, 0) << "the device end was not opened again\n" << run.Text();
    EXPECT_TRUE(ConnectsWithin(port, true, 10s)) << "COM2 is not back with its device end\n" << run.Text();
    kill(-run.child->pid(), SIGKILL);
    close(device);
    close(listener);
}

}  // namespace
