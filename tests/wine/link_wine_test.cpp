// zolhost link as a Windows program, under Wine: a host program of the kind users
// write (pyserial, over socket://) reaches zolemul through zolhost.exe, whose device
// end is a serial port (COM3, which Wine maps to a pty); zolemul runs on the other
// side of that line. Every request is answered but for the replies the link drops,
// and the summary counts those the program missed. And zolhost.exe serve: many
// built-in devices, reached by a Linux pyserial host program over the network.
// And the link's loops over an end whose wait fails (link_wait_probe.exe). And a
// program using the COM port zolhost run's DLL gives, over the link (com_shim_probe.exe).
//
// Runs when ZOLEMUL_E2E_LOADER names Wine's loader, ZOLHOST_E2E_EXE zolhost.exe and
// (for the link) ZOLEMUL_E2E_COM3 the path Wine maps COM3 to; the probe's test when
// ZOLHOST_E2E_WAIT_PROBE names link_wait_probe.exe, ZOLHOST_E2E_RING_PROBE shared_ring_probe.exe; the DLL's when
// ZOLHOST_E2E_COM_PROBE32 / 64 and ZOLHOST_E2E_COM_SHIM32 / 64 name the probe and the DLL.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <regex>

#include "tests/support/pty_link.h"
#include "tests/support/required.h"
#include "tests/wine/wine_program.h"

namespace {

using namespace testsupport;

// Carries every byte between two pty masters both ways, as a null-modem cable.
class Cable {
public:
    Cable(int a, int b) : thread_([this, a, b] { Run(a, b); }) {}
    ~Cable() {
        stop_ = true;
        thread_.join();
    }

private:
    void Run(int a, int b) {
        pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        std::uint8_t buf[4096];
        while (!stop_) {
            if (poll(fds, 2, 50) <= 0) {
                continue;
            }
            for (int i = 0; i < 2; ++i) {
                if ((fds[i].revents & POLLIN) == 0) {
                    continue;
                }
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    WriteAll(fds[1 - i].fd, Bytes(buf, buf + n));
                }
            }
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// zolemul on the far side of a null-modem cable from COM3, and zolhost.exe's link
// over COM3 with a TCP host end (its further options `extra`); `port` is where the
// host end listens.
struct WineLinkRig {
    explicit WineLinkRig(const std::vector<std::string>& extra)
        : loader(Env("ZOLEMUL_E2E_LOADER")), zolhost(Env("ZOLHOST_E2E_EXE")), com3(Env("ZOLEMUL_E2E_COM3")) {
        if (!Usable()) {
            return;
        }
        std::filesystem::remove(com3);
        std::filesystem::create_symlink(windowsEnd.slavePath(), com3);
        std::filesystem::create_symlink(zolemulEnd.slavePath(), dir / "COM2");
        cable = std::make_unique<Cable>(windowsEnd.master(), zolemulEnd.master());
        Child::Options e;
        e.argv = {ZOLEMUL_PATH};
        e.cwd = dir.path();
        e.stdinFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        e.stdoutFd = e.stdinFd;
        zolemul = std::make_unique<Child>(e);
        close(e.stdinFd);
        std::vector<std::string> argv = {loader, zolhost, "--port", "COM3", "link", "tcp://127.0.0.1:0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        link = std::make_unique<Program>(argv);
        std::smatch m;
        const std::regex url(R"(tcp://127\.0\.0\.1:(\d+)\r?\n)");  // the C runtime's text mode: \r\n
        if (link->out_.waitFor(
                [&](const Bytes& b) {
                    const std::string t(b.begin(), b.end());
                    return std::regex_search(t, m, url) && t.find("COM3 opened") != std::string::npos;
                },
                60s)) {
            port = m[1];
        }
    }
    ~WineLinkRig() {
        if (zolemul) {
            zolemul->signal(SIGTERM);
            EXPECT_EQ(zolemul->wait(10s), 0);
        }
        if (Usable()) {
            std::filesystem::remove(com3);
        }
    }
    static bool Usable() {
        return !Env("ZOLEMUL_E2E_LOADER").empty() && !Env("ZOLHOST_E2E_EXE").empty() && !Env("ZOLEMUL_E2E_COM3").empty();
    }

    const std::string loader;
    const std::string zolhost;
    const std::string com3;
    PtyPair windowsEnd;
    PtyPair zolemulEnd;
    TempDir dir;
    std::unique_ptr<Cable> cable;
    std::unique_ptr<Child> zolemul;
    std::unique_ptr<Program> link;
    std::string port;  // empty: the link did not start
};

constexpr const char* kWineOnly = "zolhost.exe runs under Wine only (ZOLEMUL_E2E_LOADER, ZOLHOST_E2E_EXE, ZOLEMUL_E2E_COM3)";

TEST(WineLink, RelaysAPyserialHostProgramToZolemulOverACommPortWithItsFaults) {
    if (!WineLinkRig::Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    REQUIRE_DEPENDENCY(system(ZOL_SYSTEM_PYTHON " -I -c 'import serial' 2>/dev/null") == 0,
                       "pyserial for " ZOL_SYSTEM_PYTHON " (Debian package python3-serial)");
    WineLinkRig rig({"--drop", "10", "--seed", "7"});
    ASSERT_FALSE(rig.port.empty()) << rig.link->Text();
    Program& link = *rig.link;
    const std::string port = rig.port;

    Program program({ZOL_SYSTEM_PYTHON, LINK_HOST_SCRIPT, "socket://127.0.0.1:" + port, "200", "--timeout", "1"});
    EXPECT_EQ(program.child->wait(300s), 0) << program.Text();
    link.child->signal(SIGINT);  // Ctrl-C to the Windows program
    EXPECT_EQ(link.child->wait(30s), 0) << link.Text();

    std::smatch got;
    const std::string out = program.TextWith("missing ");
    ASSERT_TRUE(std::regex_search(out, got, std::regex(R"(good (\d+) corrupted 0 missing (\d+) other 0)"))) << out;
    std::smatch counted;
    const std::string summary = link.TextWith("replies: ");
    ASSERT_TRUE(std::regex_search(summary, counted, std::regex(R"(replies: 200, forwarded (\d+), dropped (\d+))")))
        << summary;
    EXPECT_EQ(got[1], counted[1]) << summary;
    EXPECT_EQ(got[2], counted[2]) << summary;
    EXPECT_GT(std::stoi(counted[2]), 0) << summary;
    EXPECT_NE(summary.find("requests seen: 200"), std::string::npos) << summary;
}

// A client of the link's host end on loopback `port`, its receive buffer
// `receiveBuffer` bytes (0: the system's); -1 with errno on failure.
int ConnectTo(const std::string& port, int receiveBuffer = 0) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    if (receiveBuffer > 0) {
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    return s;
}

// A host program writes one burst of requests, far more than the serial end's
// write takes at once (the line holds the rest back until zolemul reads), and then
// sends nothing more. The held bytes go on as each write ends, with no further
// traffic to wake the link: every request reaches zolemul and every reply comes
// back, whole and in order.
TEST(WineLink, SerialEndSendsItsHeldBytesWithNoFurtherTraffic) {
    if (!WineLinkRig::Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    WineLinkRig rig({});
    ASSERT_FALSE(rig.port.empty()) << rig.link->Text();
    const int s = ConnectTo(rig.port);
    ASSERT_GE(s, 0) << strerror(errno);
    constexpr std::size_t kRequests = 8000;  // 56 kB: the line's buffers take a few kB
    Bytes burst;
    for (std::size_t j = 0; j < kRequests; ++j) {
        const Bytes r = Request(static_cast<std::uint8_t>(j));
        burst.insert(burst.end(), r.begin(), r.end());
    }
    ASSERT_EQ(send(s, burst.data(), burst.size(), MSG_NOSIGNAL), static_cast<ssize_t>(burst.size())) << strerror(errno);

    Bytes got;
    std::uint8_t buf[65536];
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (got.size() < 9 * kRequests && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{s, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0) {
            continue;
        }
        const ssize_t n = read(s, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + n);
    }
    close(s);
    EXPECT_EQ(got.size(), 9 * kRequests) << "replies stopped coming: " << got.size() / 9 << " of " << kRequests << "\n"
                                        << rig.link->Text();
    for (std::size_t i = 0; i + 9 <= got.size(); i += 9) {
        ASSERT_EQ(Hex(Bytes(got.begin() + static_cast<std::ptrdiff_t>(i), got.begin() + static_cast<std::ptrdiff_t>(i) + 9)),
                  Hex(ReplyFor(static_cast<std::uint8_t>(i / 9))))
            << "reply " << i / 9;
    }
    rig.link->child->signal(SIGINT);
    EXPECT_EQ(rig.link->child->wait(30s), 0) << rig.link->Text();
}

// CPU time of all of a child's threads so far.
std::chrono::nanoseconds CpuOf(const Child& child) {
    std::chrono::nanoseconds sum{0};
    for (const auto& [tid, t] : child.threadUsage()) {
        sum += t.cpu;
    }
    return sum;
}

// A host program that goes on sending but stops reading: the replies back up into
// zolhost.exe's socket (on loopback the system lets some megabytes wait there),
// then into the link, the serial line and zolemul, until the program's own sends
// find no room. From then on both of the link's ends wait for room: it waits for
// their events (a socket's FD_WRITE, the end of the port's write in progress)
// instead of spinning, and its CPU over 2 s stays within 5 points of a core of its
// CPU at rest. (Measured under Wine: 60-100 ms at rest, Wine's own serial wait
// ending some 30 times a second; next to nothing while stalled, as the port's
// bytes have nowhere to go then and no wait is issued. A link that took a driver's
// empty output queue for room woke 1000 times a second: 15-20 points more.)
// Once the program reads again, every reply it gets is whole.
TEST(WineLink, TcpClientThatStopsReadingLeavesTheLinkAtRest) {
    if (!WineLinkRig::Usable()) {
        GTEST_SKIP() << kWineOnly;
    }
    WineLinkRig rig({});
    ASSERT_FALSE(rig.port.empty()) << rig.link->Text();
    const int s = ConnectTo(rig.port, 4096);  // a small window: its part of the backlog is small
    ASSERT_GE(s, 0) << strerror(errno);
    const Child& zolhost = *rig.link->child;

    std::this_thread::sleep_for(500ms);
    const auto restStart = CpuOf(zolhost);
    std::this_thread::sleep_for(2s);
    const auto rest = CpuOf(zolhost) - restStart;

    std::atomic<bool> stop{false};
    std::atomic<bool> full{false};  // the program's sends have found no room for a second
    std::thread sender([&] {
        Bytes burst;
        for (int j = 0; j < 100; ++j) {
            const Bytes r = Request(static_cast<std::uint8_t>(j));
            burst.insert(burst.end(), r.begin(), r.end());
        }
        std::size_t at = 0;  // requests stay whole across sends that take part of the burst
        auto sentAt = std::chrono::steady_clock::now();
        while (!stop) {
            const ssize_t n = send(s, burst.data() + at, burst.size() - at, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                at = (at + static_cast<std::size_t>(n)) % burst.size();
                sentAt = std::chrono::steady_clock::now();
                continue;
            }
            full = full || std::chrono::steady_clock::now() - sentAt > 1s;
            std::this_thread::sleep_for(5ms);
        }
    });
    const auto fillDeadline = std::chrono::steady_clock::now() + 60s;
    while (!full && std::chrono::steady_clock::now() < fillDeadline) {
        std::this_thread::sleep_for(100ms);
    }
    // Two windows of 2 s: what was already under way toward the device when the
    // program's sends found no room (requests the link still hands on, replies that
    // zolemul drops past its bound) may take the first; a link that spins takes both.
    std::chrono::nanoseconds window[2];
    for (auto& w : window) {
        const auto start = CpuOf(zolhost);
        std::this_thread::sleep_for(2s);
        w = CpuOf(zolhost) - start;
    }
    const auto stalled = std::min(window[0], window[1]);
    stop = true;
    sender.join();
    std::cout << "zolhost.exe's CPU over 2 s: " << window[0].count() / 1000000 << " then "
              << window[1].count() / 1000000 << " ms while the client did not read, " << rest.count() / 1000000
              << " ms at rest\n";  // for the log
    EXPECT_TRUE(full) << "zolhost.exe still took the program's requests after 60 s";
    EXPECT_LT(stalled - rest, 100ms) << "CPU over 2 s: " << window[0].count() / 1000000 << " then "
                                     << window[1].count() / 1000000 << " ms while the client did not read, "
                                     << rest.count() / 1000000 << " ms at rest\n"
                                      << rig.link->Text();

    Bytes got;
    std::uint8_t buf[65536];
    for (pollfd pfd{s, POLLIN, 0}; poll(&pfd, 1, 1000) > 0;) {
        const ssize_t n = read(s, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + n);
    }
    close(s);
    EXPECT_GT(got.size(), 9u * 100) << "the client's requests were not answered";
    for (std::size_t i = 0; i + 9 <= got.size(); i += 9) {
        ASSERT_EQ(Hex(Bytes(got.begin() + static_cast<std::ptrdiff_t>(i), got.begin() + static_cast<std::ptrdiff_t>(i) + 9)),
                  Hex(ReplyFor(static_cast<std::uint8_t>(got[i + 1] ^ 0xFF))))
            << "reply " << i / 9;
    }
    rig.link->child->signal(SIGINT);
    EXPECT_EQ(rig.link->child->wait(30s), 0) << rig.link->Text();
}

// zolhost.exe serve with 16 built-in devices on loopback, 14 with tcp:// ends and 2
// with rfc2217:// ones; its manifest read by a Linux pyserial host program that
// has every device answer 20 requests, each reply right to the byte. Closing
// serve's standard input ends it (--exit-with-stdin): status 0, each device's
// summary counts what it answered, and the manifest is gone. The control API it
// was asked for is not there, and it says so; what needs ptys is refused.
TEST(WineServe, ServesSixteenBuiltinDevicesToAPyserialHostOverTcpAndRfc2217) {
    if (Env("ZOLEMUL_E2E_LOADER").empty() || Env("ZOLHOST_E2E_EXE").empty()) {
        GTEST_SKIP() << "zolhost.exe runs under Wine only (ZOLEMUL_E2E_LOADER, ZOLHOST_E2E_EXE)";
    }
    REQUIRE_DEPENDENCY(system(ZOL_SYSTEM_PYTHON " -I -c 'import serial' 2>/dev/null") == 0,
                       "pyserial for " ZOL_SYSTEM_PYTHON " (Debian package python3-serial)");
    const std::string loader = Env("ZOLEMUL_E2E_LOADER");
    const std::string exe = Env("ZOLHOST_E2E_EXE");
    for (const char* asked : {"--engine zolemul", "--host pty"}) {
        Program refused({loader, exe, "serve", "--devices", "2", "--on", "1:" + std::string(asked)});
        EXPECT_EQ(refused.child->wait(60s), 2) << asked << ": " << refused.Text();
        EXPECT_NE(refused.TextWith("Windows does not have").find("device 1: "), std::string::npos) << refused.Text();
    }

    TempDir dir;
    const std::string manifest = dir / "devices.json";
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    Program serve({loader, exe, "serve", "--devices", "16", "--host", "tcp", "--on", "5:--host rfc2217", "--on",
                   "12:--host rfc2217", "--exit-with-stdin", "--manifest", manifest, "--control", "127.0.0.1:0"},
                  in[0]);
    close(in[0]);
    const bool up = serve.out_.waitForText("serving 16 devices", 60s);
    const std::string doc = serve.Text();
    if (!up) {
        close(in[1]);
        serve.child->signal(SIGINT);
        serve.child->wait(30s);
        FAIL() << "serve did not say it serves within 60 s:\n" << doc;
    }
    EXPECT_NE(doc.find(R"({"control":null,"cores":)"), std::string::npos) << doc;
    EXPECT_NE(doc.find("control API is built on POSIX systems only: serving without it"), std::string::npos) << doc;

    Program host({ZOL_SYSTEM_PYTHON, SERVE_HOST_SCRIPT, manifest, "20"});
    EXPECT_EQ(host.child->wait(120s), 0) << host.Text();
    EXPECT_NE(host.TextWith("replies ").find("devices 16 tcp 14 rfc2217 2 replies 320"), std::string::npos)
        << host.Text();

    close(in[1]);  // standard input's end
    EXPECT_EQ(serve.child->wait(30s), 0) << serve.Text();
    const std::string out = serve.TextWith(R"({"summary":)");
    const std::size_t at = out.find(R"({"summary":)");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string summary = out.substr(at, out.find('\n', at) - at);
    auto count = [&summary](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t p = 0; (p = summary.find(what, p)) != std::string::npos; p += what.size()) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count(R"("requests":20,)"), 16u) << summary;
    EXPECT_EQ(count(R"("replies":20,)"), 16u) << summary;
    EXPECT_EQ(count(R"("ended_cleanly":true,)"), 16u) << summary;
    EXPECT_NE(out.find("standard input closed: ending every device"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(manifest)) << "the manifest outlived serve";
}


// The shared rings that carry a connection of zolhost run's DLL, run by
// shared_ring_probe.exe: a megabyte each way at once through 64 KB rings, with
// readers slow at times, every byte in order and no wake lost.
TEST(WineLink, SharedRingsCarryBothWaysInOrderWithNoWakeLost) {
    const std::string loader = Env("ZOLEMUL_E2E_LOADER");
    const std::string probe = Env("ZOLHOST_E2E_RING_PROBE");
    if (loader.empty() || probe.empty()) {
        GTEST_SKIP() << "shared_ring_probe.exe runs under Wine only (ZOLEMUL_E2E_LOADER, ZOLHOST_E2E_RING_PROBE)";
    }
    Program run({loader, probe});
    const std::optional<int> status = run.child->wait(120s);
    const std::string out = run.TextWith("done ");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("done 5 0"), std::string::npos) << out;
}

// zolhost's link loops, run by link_wait_probe.exe over a device end whose system
// wait fails every time (its event and its socket are gone): link's own loop and
// serve's loop of many links each end by themselves, well before the probe's
// deadline, with a failure and the failed call named. Taken for a timeout, the
// failure kept both running (and a core busy) until the deadline.
TEST(WineLink, AWaitThatFailsEndsTheLoopAndSaysWhy) {
    const std::string loader = Env("ZOLEMUL_E2E_LOADER");
    const std::string probe = Env("ZOLHOST_E2E_WAIT_PROBE");
    if (loader.empty() || probe.empty()) {
        GTEST_SKIP() << "link_wait_probe.exe runs under Wine only (ZOLEMUL_E2E_LOADER, ZOLHOST_E2E_WAIT_PROBE)";
    }
    Program run({loader, probe});
    const std::optional<int> status = run.child->wait(120s);
    const std::string out = run.TextWith("done ");
    EXPECT_EQ(status, 0) << out;
    for (const char* check : {"link-ends", "link-fails", "set-ends", "set-says-why"}) {
        EXPECT_NE(out.find(std::string("ok ") + check + " "), std::string::npos) << check << "\n" << out;
    }
    EXPECT_NE(out.find("WaitForMultipleObjects: "), std::string::npos) << "the link did not say why\n" << out;
}

// A program that loads zolhost run's DLL (com_shim_probe.exe) and opens the COM
// port it gives, its server zolhost.exe's link with the built-in device behind it.
// The probe checks what the program sees call by call (byte for byte answers,
// overlapped and not, the exclusive open, time outs, waits for events ended and
// cancelled, the port failing once the link ends); here the link's summary shows
// that the program's requests and its last settings reached it. The probe starts
// while another client holds the link, and finds the port in use. `bits`: 32 or 64,
// for ZOLHOST_E2E_COM_PROBE<bits> and ZOLHOST_E2E_COM_SHIM<bits>, the probe and
// the DLL of that bitness.
void RunComShimProbe(const std::string& bits) {
    const std::string loader = Env("ZOLEMUL_E2E_LOADER");
    const std::string zolhost = Env("ZOLHOST_E2E_EXE");
    const std::string probe = Env(("ZOLHOST_E2E_COM_PROBE" + bits).c_str());
    std::string dll = Env(("ZOLHOST_E2E_COM_SHIM" + bits).c_str());
    if (loader.empty() || zolhost.empty() || probe.empty() || dll.empty()) {
        GTEST_SKIP() << "com_shim_probe.exe runs under Wine only (ZOLEMUL_E2E_LOADER, ZOLHOST_E2E_EXE, "
                        "ZOLHOST_E2E_COM_PROBE" << bits << ", ZOLHOST_E2E_COM_SHIM" << bits << ")";
    }
    dll = "Z:" + std::filesystem::absolute(dll).string();  // Wine's drive for the Linux root
    std::replace(dll.begin(), dll.end(), '/', '\\');

    Program link({loader, zolhost, "link", "rfc2217://127.0.0.1:0", "--builtin"});
    std::smatch m;
    std::string port;
    if (link.out_.waitFor(
            [&](const Bytes& b) {
                const std::string t(b.begin(), b.end());
                return std::regex_search(t, m, std::regex(R"(\nrfc2217://127\.0\.0\.1:(\d+)\r?\n)"));
            },
            60s)) {
        port = m[1];
    }
    ASSERT_FALSE(port.empty()) << link.Text();
    const int other = ConnectTo(port);  // another client has the port at first
    ASSERT_GE(other, 0) << strerror(errno);
    EXPECT_TRUE(link.out_.waitForText("127.0.0.1:" + port + " opened", 30s)) << link.Text();
    int in[2];
    ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
    Program run({loader, probe, dll, "COM7", port}, in[0]);
    close(in[0]);
    const bool seen = run.out_.waitForText("let the port go", 120s);
    close(other);
    EXPECT_TRUE(link.out_.waitForText("the client left", 30s)) << link.Text();
    EXPECT_EQ(write(in[1], "go\n", 3), 3);
    EXPECT_TRUE(seen) << run.Text();
    const bool asked = run.out_.waitFor(
        [](const Bytes& b) {
            const std::string t(b.begin(), b.end());
            return t.find("end the link") != std::string::npos || t.find("done ") != std::string::npos;
        },
        120s);
    link.child->signal(SIGINT);  // Ctrl-C to the Windows program
    EXPECT_EQ(link.child->wait(30s), 0) << link.Text();
    EXPECT_EQ(write(in[1], "go\n", 3), 3);
    close(in[1]);
    EXPECT_EQ(run.child->wait(60s), 0) << run.Text();
    const std::string out = run.TextWith("done ");
    EXPECT_TRUE(asked) << out;
    EXPECT_EQ(out.find("FAIL "), std::string::npos) << out;
    EXPECT_NE(out.find("done "), std::string::npos) << out;

    const std::string summary = link.TextWith("host line: ");
    EXPECT_TRUE(std::regex_search(summary, std::regex(R"(requests seen: 8\r?\n)"))) << summary;
    EXPECT_NE(summary.find("replies: 8, forwarded 8, dropped 0, corrupted 0"), std::string::npos) << summary;
    EXPECT_TRUE(std::regex_search(summary, std::regex(R"(  host line: 9600 7E1, [^\n]*; [1-9]\d* settings)"))) << summary;
}

TEST(WineComShim, A32BitProgramUsesTheCommPortTheDllGives) { RunComShimProbe("32"); }
TEST(WineComShim, A64BitProgramUsesTheCommPortTheDllGives) { RunComShimProbe("64"); }

}  // namespace
