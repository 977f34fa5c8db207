// zolhost link as a Windows program, under Wine: a host program of the kind users
// write (pyserial, over socket://) reaches zolemul through zolhost.exe, whose device
// end is a serial port (COM3, which Wine maps to a pty); zolemul runs on the other
// side of that line. Every request is answered but for the replies the link drops,
// and the summary counts those the program missed.
//
// Runs when ZOLEMUL_E2E_LOADER names Wine's loader, ZOLHOST_E2E_EXE zolhost.exe and
// ZOLEMUL_E2E_COM3 the path Wine maps COM3 to.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>

#include "tests/support/pty_link.h"
#include "tests/support/required.h"

namespace {

using namespace testsupport;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

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

// Everything a child prints, on standard output and error together.
struct Program {
    explicit Program(std::vector<std::string> argv) : out_(pipe_.readEnd) {
        Child::Options o;
        o.argv = std::move(argv);
        o.stdinFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        o.stdoutFd = pipe_.writeEnd;
        child = std::make_unique<Child>(o);
        close(o.stdinFd);
        close(pipe_.writeEnd);
    }
    struct Pipe {
        Pipe() {
            int fds[2];
            if (pipe2(fds, O_CLOEXEC) == 0) {
                readEnd = fds[0];
                writeEnd = fds[1];
            }
        }
        ~Pipe() { close(readEnd); }
        int readEnd = -1;
        int writeEnd = -1;
    } pipe_;
    Collector out_;
    std::unique_ptr<Child> child;
    std::string Text() const { return out_.text(); }
};

TEST(WineLink, RelaysAPyserialHostProgramToZolemulOverACommPortWithItsFaults) {
    const std::string loader = Env("ZOLEMUL_E2E_LOADER");
    const std::string zolhost = Env("ZOLHOST_E2E_EXE");
    const std::string com3 = Env("ZOLEMUL_E2E_COM3");
    if (loader.empty() || zolhost.empty() || com3.empty()) {
        GTEST_SKIP() << "zolhost.exe runs under Wine only (ZOLEMUL_E2E_LOADER, ZOLHOST_E2E_EXE, ZOLEMUL_E2E_COM3)";
    }
    REQUIRE_DEPENDENCY(system(ZOL_SYSTEM_PYTHON " -I -c 'import serial' 2>/dev/null") == 0,
                       "pyserial for " ZOL_SYSTEM_PYTHON " (Debian package python3-serial)");
    PtyPair windowsEnd;
    PtyPair zolemulEnd;
    std::filesystem::remove(com3);
    std::filesystem::create_symlink(windowsEnd.slavePath(), com3);
    TempDir dir;
    std::filesystem::create_symlink(zolemulEnd.slavePath(), dir / "COM2");
    Cable cable(windowsEnd.master(), zolemulEnd.master());
    Child::Options e;
    e.argv = {ZOLEMUL_PATH};
    e.cwd = dir.path();
    e.stdinFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    e.stdoutFd = e.stdinFd;
    Child zolemul(e);
    close(e.stdinFd);

    Program link({loader, zolhost, "--port", "COM3", "link", "tcp://127.0.0.1:0", "--drop", "10", "--seed", "7"});
    std::smatch m;
    const std::regex url(R"(tcp://127\.0\.0\.1:(\d+)\r?\n)");  // the C runtime's text mode: \r\n
    ASSERT_TRUE(link.out_.waitFor(
        [&](const Bytes& b) {
            const std::string t(b.begin(), b.end());
            return std::regex_search(t, m, url) && t.find("COM3 opened") != std::string::npos;
        },
        60s))
        << link.Text();
    const std::string port = m[1];

    Program program({ZOL_SYSTEM_PYTHON, LINK_HOST_SCRIPT, "socket://127.0.0.1:" + port, "200", "--timeout", "1"});
    EXPECT_EQ(program.child->wait(300s), 0) << program.Text();
    link.child->signal(SIGINT);  // Ctrl-C to the Windows program
    EXPECT_EQ(link.child->wait(30s), 0) << link.Text();

    std::smatch got;
    const std::string out = program.Text();
    ASSERT_TRUE(std::regex_search(out, got, std::regex(R"(good (\d+) corrupted 0 missing (\d+) other 0)"))) << out;
    std::smatch counted;
    const std::string summary = link.Text();
    ASSERT_TRUE(std::regex_search(summary, counted, std::regex(R"(replies: 200, forwarded (\d+), dropped (\d+))")))
        << summary;
    EXPECT_EQ(got[1], counted[1]) << summary;
    EXPECT_EQ(got[2], counted[2]) << summary;
    EXPECT_GT(std::stoi(counted[2]), 0) << summary;
    EXPECT_NE(summary.find("requests seen: 200"), std::string::npos) << summary;
    zolemul.signal(SIGTERM);
    EXPECT_EQ(zolemul.wait(10s), 0);
    std::filesystem::remove(com3);
}

}  // namespace
