// zolhost against the real zolemul: zolhost makes the virtual link (DIR/COM2),
// zolemul is started in DIR with its console on a pty of the test's own.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>

#include "host/capture/pcap_writer.h"
#include "host/link/relay.h"
#include "tests/support/pty_link.h"
#include "tests/support/required.h"
#include "tests/support/tshark.h"

namespace {

using namespace testsupport;

// Deadlines only bound a failing test.
constexpr auto kStartLimit = 20s;
constexpr auto kRunLimit = 60s;

bool IsSymlink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// zolhost (or another program) with its standard output and error collected together.
class Host {
public:
    Host(std::vector<std::string> args, const std::string& cwd = "", const std::string& program = ZOLHOST_PATH) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        readEnd_ = out[0];
        output_ = std::make_unique<Collector>(readEnd_);
        null_ = open("/dev/null", O_RDONLY | O_CLOEXEC);
        Child::Options o;
        o.argv = {program};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.cwd = cwd;
        o.stdinFd = null_;
        o.stdoutFd = out[1];
        child_ = std::make_unique<Child>(o);
        close(out[1]);
    }
    ~Host() {
        child_.reset();
        output_.reset();
        close(readEnd_);
        close(null_);
    }
    std::optional<int> Exit(std::chrono::milliseconds limit = kRunLimit) { return child_->wait(limit); }
    std::string Output() {
        output_->waitFor([](const Bytes&) { return false; }, 50ms);  // let the last bytes in
        return output_->text();
    }
    bool Shows(const std::string& text, std::chrono::milliseconds limit = kStartLimit) {
        return output_->waitForText(text, limit);
    }
    Child& Process() { return *child_; }

private:
    int readEnd_ = -1;
    int null_ = -1;
    std::unique_ptr<Collector> output_;
    std::unique_ptr<Child> child_;
};

// zolemul in dir, on its own console.
class Emulator {
public:
    explicit Emulator(const std::string& dir) : console_(false), out_(console_.master()) {
        Child::Options o;
        o.argv = {ZOLEMUL_PATH};
        o.cwd = dir;
        o.consolePath = console_.slavePath();
        child_ = std::make_unique<Child>(o);
    }
    bool Started() { return out_.waitForText("Zol Emul Started in COM2\n", kStartLimit); }
    std::string Console() const { return out_.text(); }
    std::optional<int> Stop() {
        WriteAll(console_.master(), {'q'});
        return child_->wait(10s);
    }
    Child& Process() { return *child_; }

private:
    PtyPair console_;
    Collector out_;
    std::unique_ptr<Child> child_;
};

// zolhost --virtual DIR ARGS with zolemul started in DIR once COM2 is there.
struct Session {
    TempDir dir;
    std::unique_ptr<Host> host;
    std::unique_ptr<Emulator> emu;

    explicit Session(std::vector<std::string> args) {
        args.insert(args.begin(), {"--virtual", dir.path(), "--wait", "20"});
        host = std::make_unique<Host>(args);
        if (WaitUntil([&] { return IsSymlink(dir / "COM2"); }, kStartLimit)) {
            emu = std::make_unique<Emulator>(dir.path());
        }
    }
    std::string Com2() const { return dir / "COM2"; }
};

TEST(HostE2E, PingGetsTheComplementAndTheLinkIsRemovedAfterwards) {
    Session s({"ping", "5A"});
    ASSERT_TRUE(s.emu) << s.host->Output();
    EXPECT_EQ(s.host->Exit(), 0) << s.host->Output();
    const std::string out = s.host->Output();
    EXPECT_NE(out.find("request  02 5A 00 00 00 03 A2"), std::string::npos) << out;
    EXPECT_NE(out.find("reply    12 A5 00 00 00 00 00 13 37"), std::string::npos) << out;
    EXPECT_NE(out.find("EA A5: good"), std::string::npos) << out;
    EXPECT_FALSE(Exists(s.Com2()));
    EXPECT_TRUE(s.emu->Started());
    EXPECT_NE(s.emu->Console().find("Frame 0 receivedEA:A5, TORA:5A\r"), std::string::npos);
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, PingWithFourDataBytesAndTrace) {
    Session s({"--trace", "ping", "02", "03", "02", "FC"});
    ASSERT_TRUE(s.emu);
    EXPECT_EQ(s.host->Exit(), 0) << s.host->Output();
    const std::string out = s.host->Output();
    EXPECT_NE(out.find("> 02 02 03 02 FC 03 F9"), std::string::npos) << out;
    EXPECT_NE(out.find("< 12 FD 00 00 00 00 00 13 DF"), std::string::npos) << out;
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, PacedRequestGoesOutOneByteAtATime) {
    Session s({"--trace", "--pace", "9600", "ping", "11"});
    ASSERT_TRUE(s.emu);
    EXPECT_EQ(s.host->Exit(), 0) << s.host->Output();
    const std::string out = s.host->Output();
    const std::regex oneByte(R"(> [0-9A-F]{2}\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), oneByte), std::sregex_iterator()), 7) << out;
    EXPECT_NE(out.find("EA EE: good"), std::string::npos) << out;
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, ShortBenchHasNoErrors) {
    Session s({"bench", "--frames", "300", "--window", "4"});
    ASSERT_TRUE(s.emu);
    EXPECT_EQ(s.host->Exit(), 0) << s.host->Output();
    const std::string out = s.host->Output();
    EXPECT_NE(out.find("(300 measured)"), std::string::npos) << out;
    EXPECT_NE(out.find("300 requests, 300 replies owed: 300 good, 0 bad, 0 missing, 0 unexpected bytes"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("all replies good"), std::string::npos) << out;
    EXPECT_FALSE(Exists(s.Com2()));
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, ShortBenchWithNoiseHasNoErrors) {
    Session s({"bench", "--frames", "400", "--noise", "40", "--seed", "9", "--json"});
    ASSERT_TRUE(s.emu);
    EXPECT_EQ(s.host->Exit(), 0) << s.host->Output();
    const std::string out = s.host->Output();
    EXPECT_NE(out.find("\"ok\": true"), std::string::npos) << out;
    // Noise was sent and some of it spoiled requests, yet nothing went wrong.
    const std::regex noise(R"("noise_items": ([1-9][0-9]*))");
    const std::regex spoiled(R"("spoiled_requests": ([1-9][0-9]*))");
    const std::regex errors(R"("bad": 0,\s*"missing": 0,\s*"unexpected_bytes": 0)");
    EXPECT_TRUE(std::regex_search(out, noise)) << out;
    EXPECT_TRUE(std::regex_search(out, spoiled)) << out;
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), errors), std::sregex_iterator()), 2) << out;
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, BenchWithBaselineComparesItsBaselines) {
    Session s({"bench", "--frames", "200", "--noise", "10", "--baseline"});
    ASSERT_TRUE(s.emu);
    EXPECT_EQ(s.host->Exit(), 0) << s.host->Output();
    const std::string out = s.host->Output();
    EXPECT_NE(out.find("\nbaseline (zolhost's responder, sleeping in poll)"), std::string::npos) << out;
    EXPECT_NE(out.find("\nbaseline+text (zolhost's responder, printing the status text"), std::string::npos) << out;
    EXPECT_NE(out.find("round trip p99.9"), std::string::npos) << out;
    // The pyserial script is measured too, or said to be skipped.
    const bool pyserial = out.find("\npyserial (pyserial script under ") != std::string::npos;
    EXPECT_NE(pyserial, out.find("\npyserial: not measured: ") != std::string::npos) << out;
    const std::regex good("all replies good");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), good), std::sregex_iterator()),
              pyserial ? 4 : 3)
        << out;
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, BenchStartsZolemulItselfInRoundsAndLeavesNothingBehind) {
    TempDir tmp;  // zolhost's temp dir, where it makes zolemul's directory
    const std::string tmpdir = "TMPDIR=" + tmp.path();
    Host host({tmpdir, ZOLHOST_PATH, "bench", "--spawn", "--device-exe", ZOLEMUL_PATH, "--frames", "200", "--rounds", "2",
               "--seconds", "0.2"},
              "", "/usr/bin/env");
    // Each round starts zolemul afresh and ends it with a key press: exit 0 says
    // every reply was good and zolemul ended with status 0 each time.
    EXPECT_EQ(host.Exit(), 0) << host.Output();
    const std::string out = host.Output();
    EXPECT_NE(out.find("zolemul (started by zolhost: " ZOLEMUL_PATH " in " + tmp.path()), std::string::npos) << out;
    EXPECT_NE(out.find("400 requests, 400 replies owed: 400 good, 0 bad"), std::string::npos) << out;
    EXPECT_NE(out.find("each of 2 rounds"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));

    // A program that never serves the link: its status is reported, nothing stays.
    Host bad({tmpdir, ZOLHOST_PATH, "bench", "--spawn", "--device-exe", "/bin/false", "--frames", "10"}, "", "/usr/bin/env");
    EXPECT_EQ(bad.Exit(), 1) << bad.Output();
    EXPECT_NE(bad.Output().find("zolemul: ended (status 1) without opening its port"), std::string::npos)
        << bad.Output();
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

TEST(HostE2E, DriveCountsItsRequests) {
    Session s({"drive", "--rate", "200", "--count", "20"});
    ASSERT_TRUE(s.emu);
    EXPECT_EQ(s.host->Exit(), 0) << s.host->Output();
    const std::string out = s.host->Output();
    EXPECT_NE(out.find("drive: sent 20, answered 20, bad 0, timeouts 0"), std::string::npos) << out;
    EXPECT_NE(out.find("count reached"), std::string::npos) << out;
    EXPECT_TRUE(s.emu->Started());
    EXPECT_NE(s.emu->Console().find("Frame 19 received"), std::string::npos);
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, DriveEndsWhenTheEmulatorLeaves) {
    Session s({"drive", "--rate", "100"});
    ASSERT_TRUE(s.emu);
    ASSERT_TRUE(s.emu->Started());
    ASSERT_TRUE(s.emu->Process().running());
    EXPECT_EQ(s.emu->Stop(), 0);
    const auto status = s.host->Exit(10s);
    ASSERT_TRUE(status.has_value()) << "zolhost did not notice the emulator leave";
    const std::string out = s.host->Output();
    EXPECT_NE(out.find("closed it"), std::string::npos) << out;
    // Good unless the emulator left with a request unanswered, which the summary says.
    EXPECT_EQ(*status, out.find("with a reply outstanding") == std::string::npos ? 0 : 1) << out;
    EXPECT_FALSE(Exists(s.Com2()));
}

TEST(HostE2E, DriveFailsWhenTheEmulatorStopsAnswering) {
    Session s({"--timeout", "100", "drive", "--rate", "50"});
    ASSERT_TRUE(s.emu);
    ASSERT_TRUE(s.host->Shows("driving"));
    ASSERT_TRUE(s.emu->Started());
    s.emu->Process().signal(SIGSTOP);
    EXPECT_EQ(s.host->Exit(), 1) << s.host->Output();
    EXPECT_NE(s.host->Output().find("is not answering"), std::string::npos) << s.host->Output();
    s.emu->Process().signal(SIGCONT);
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, PingWithNobodyAnsweringFails) {
    PtyPair link;  // a device end that nobody serves
    Host host({"--port", link.slavePath(), "--timeout", "200", "ping"});
    EXPECT_EQ(host.Exit(), 1);
    EXPECT_NE(host.Output().find("no reply from " + link.slavePath() + " within 200 ms"), std::string::npos)
        << host.Output();
}

TEST(HostE2E, PortUsedDirectly) {
    // A serial line given by path: a pty whose other end the test answers.
    PtyPair link;
    Collector fromHost(link.master());
    Host host({"--port", link.slavePath(), "ping", "A5"});
    ASSERT_TRUE(fromHost.waitForSize(7, kStartLimit));
    EXPECT_EQ(Hex(fromHost.bytes()), Hex(Request(0xA5)));
    WriteAll(link.master(), ReplyFor(0xA5));
    EXPECT_EQ(host.Exit(), 0) << host.Output();
    EXPECT_NE(host.Output().find("EA 5A: good"), std::string::npos);
}

TEST(HostE2E, ARequestToAPortThatStopsReadingGoesOutWholeOnceItReadsAgain) {
    // The device end reads nothing until its queue is full: the request waits for
    // room and then goes out whole, with no later request to push it on.
    PtyPair link;
    const int filler = open(link.slavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    std::size_t queued = 0;
    const Bytes block(256, 'x');
    for (ssize_t n; (n = write(filler, block.data(), block.size())) > 0;) {
        queued += static_cast<std::size_t>(n);
    }
    Host host({"--port", link.slavePath(), "--timeout", "5000", "ping", "A5"});
    std::this_thread::sleep_for(300ms);  // the request meets the full queue
    Collector fromHost(link.master());
    const bool whole = fromHost.waitForSize(queued + 7, kStartLimit);
    close(filler);
    ASSERT_TRUE(whole) << fromHost.bytes().size() << " of " << queued + 7 << " bytes\n" << host.Output();
    const Bytes got = fromHost.bytes();
    EXPECT_EQ(Hex(Bytes(got.end() - 7, got.end())), Hex(Request(0xA5)));
    WriteAll(link.master(), ReplyFor(0xA5));
    EXPECT_EQ(host.Exit(), 0) << host.Output();
}

TEST(HostE2E, BadReplyIsReportedAndFails) {
    PtyPair link;
    Collector fromHost(link.master());
    Host host({"--port", link.slavePath(), "ping", "10"});
    ASSERT_TRUE(fromHost.waitForSize(7, kStartLimit));
    WriteAll(link.master(), ReplyFor(0x11));  // the reply to another request
    EXPECT_EQ(host.Exit(), 1);
    EXPECT_NE(host.Output().find("bad reply: EA is not the request's D1 xor FF"), std::string::npos) << host.Output();
}

TEST(HostE2E, MissingPortExitsWithThree) {
    TempDir dir;
    Host host({"--port", dir / "nothing-here", "ping"});
    EXPECT_EQ(host.Exit(), 3);
    EXPECT_NE(host.Output().find("cannot open " + (dir / "nothing-here") + ": No such file or directory"),
              std::string::npos)
        << host.Output();
}

TEST(HostE2E, PortThatIsNotASerialLineExitsWithThree) {
    TempDir dir;
    { std::ofstream(dir / "plain") << "text"; }
    Host host({"--port", dir / "plain", "ping"});
    EXPECT_EQ(host.Exit(), 3);
    EXPECT_NE(host.Output().find("cannot configure " + (dir / "plain")), std::string::npos) << host.Output();
}

TEST(HostE2E, UsageErrorsExitWithTwoAndMakeNothing) {
    TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--virtual", dir.path(), "link"},
        {"--virtual", dir.path(), "link", dir / "hostport", "--drop", "60", "--corrupt", "50"},
        {"--virtual", dir.path()},
        {"--virtual", dir.path(), "frobnicate"},
        {"--virtual", dir.path(), "ping", "1", "2"},
        {"--virtual", dir.path(), "ping", "xyz"},
        {"--virtual", dir.path(), "bench", "--window", "0"},
        {"--port", "/dev/null", "bench", "--baseline"},
        {"--virtual", dir.path(), "bench", "--spawn"},
        {"--virtual", dir.path(), "--bogus", "ping"},
    };
    for (const auto& args : cases) {
        Host host(args);
        EXPECT_EQ(host.Exit(), 2) << ::testing::PrintToString(args);
        EXPECT_NE(host.Output().find("zolhost: "), std::string::npos) << host.Output();
        EXPECT_FALSE(Exists(dir / "COM2"));
        EXPECT_FALSE(Exists(dir / "hostport"));
    }
}

TEST(HostE2E, ExistingCom2IsNeverReplaced) {
    TempDir dir;
    std::filesystem::create_symlink("/dev/null", dir / "COM2");
    Host host({"--virtual", dir.path(), "--wait", "5", "ping"});
    EXPECT_EQ(host.Exit(), 3);
    EXPECT_NE(host.Output().find(dir / "COM2"), std::string::npos) << host.Output();
    EXPECT_NE(host.Output().find("already exists"), std::string::npos) << host.Output();
    EXPECT_EQ(std::filesystem::read_symlink(dir / "COM2"), "/dev/null");

    TempDir other;
    { std::ofstream(other / "COM2") << "keep me"; }
    Host second({"--virtual", other.path(), "--wait", "5", "ping"});
    EXPECT_EQ(second.Exit(), 3);
    std::ifstream in(other / "COM2");
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
}

TEST(HostE2E, InterruptOrTerminateRemovesTheLink) {
    for (int sig : {SIGINT, SIGTERM}) {
        TempDir dir;
        Host host({"--virtual", dir.path(), "ping"});
        ASSERT_TRUE(WaitUntil([&] { return IsSymlink(dir / "COM2"); }, kStartLimit));
        host.Process().signal(sig);
        EXPECT_EQ(host.Exit(10s), 1) << strsignal(sig);
        EXPECT_FALSE(Exists(dir / "COM2")) << strsignal(sig);
    }
}

TEST(HostE2E, InterruptDuringDriveRemovesTheLinkAndSummarises) {
    Session s({"drive", "--rate", "100"});
    ASSERT_TRUE(s.emu);
    ASSERT_TRUE(s.host->Shows("driving"));
    ASSERT_TRUE(s.emu->Started());
    std::this_thread::sleep_for(200ms);
    s.host->Process().signal(SIGINT);
    EXPECT_EQ(s.host->Exit(10s), 0) << s.host->Output();
    EXPECT_NE(s.host->Output().find("drive: sent "), std::string::npos);
    EXPECT_NE(s.host->Output().find("interrupted"), std::string::npos);
    EXPECT_FALSE(Exists(s.Com2()));
    EXPECT_EQ(s.emu->Stop(), 0);
}

TEST(HostE2E, ALinkPutInPlaceOfOursIsLeftAlone) {
    TempDir dir;
    Host host({"--virtual", dir.path(), "ping"});
    ASSERT_TRUE(WaitUntil([&] { return IsSymlink(dir / "COM2"); }, kStartLimit));
    std::filesystem::remove(dir / "COM2");
    std::filesystem::create_symlink("/dev/null", dir / "COM2");
    host.Process().signal(SIGTERM);
    EXPECT_EQ(host.Exit(10s), 1);
    EXPECT_TRUE(IsSymlink(dir / "COM2"));
    EXPECT_EQ(std::filesystem::read_symlink(dir / "COM2"), "/dev/null");
}

TEST(HostE2E, NothingOpeningTheLinkInTimeFails) {
    TempDir dir;
    Host host({"--virtual", dir.path(), "--wait", "1", "ping"});
    EXPECT_EQ(host.Exit(), 1);
    EXPECT_NE(host.Output().find("nothing opened " + (dir / "COM2") + " within 1 s"), std::string::npos)
        << host.Output();
    EXPECT_FALSE(Exists(dir / "COM2"));
}

// zolhost link with a host program of the kind users write (pyserial) in front of
// zolemul: zolhost --virtual DIR GLOBAL link DIR/hostport LINKARGS, zolemul in DIR.
// What plays the device behind a link: zolemul, started by the test in the link's
// dir, or the device built into zolhost (link --builtin).
enum class Engine { Zolemul, Builtin };

std::string EngineName(const testing::TestParamInfo<Engine>& info) {
    return info.param == Engine::Zolemul ? "zolemul" : "builtin";
}

struct LinkSession {
    TempDir dir;
    Engine engine;
    std::unique_ptr<Host> host;
    std::unique_ptr<Emulator> emu;

    LinkSession(const std::vector<std::string>& global, const std::vector<std::string>& linkArgs,
                Engine e = Engine::Zolemul)
        : engine(e) {
        std::vector<std::string> args = {"--wait", "20"};
        if (engine == Engine::Zolemul) {
            args.insert(args.begin(), {"--virtual", dir.path()});
        }
        args.insert(args.end(), global.begin(), global.end());
        args.insert(args.end(), {"link", Port()});
        if (engine == Engine::Builtin) {
            args.push_back("--builtin");
        }
        args.insert(args.end(), linkArgs.begin(), linkArgs.end());
        host = std::make_unique<Host>(args);
        if (engine == Engine::Zolemul && WaitUntil([&] { return IsSymlink(Com2()) && IsSymlink(Port()); }, kStartLimit)) {
            emu = std::make_unique<Emulator>(dir.path());
        }
    }
    std::string Com2() const { return dir / "COM2"; }
    std::string Port() const { return dir / "hostport"; }
    // Both ends made, the device there and its end seen open by zolhost.
    bool Ready() {
        if (engine == Engine::Builtin) {
            return host->Shows("Ctrl-C to stop") && IsSymlink(Port());
        }
        return emu && emu->Started() && host->Shows(Com2() + " opened");
    }
    // Ends zolemul with a key press (its exit status); a built-in device ends with the link.
    std::optional<int> StopDevice() { return emu ? emu->Stop() : std::optional<int>(0); }
};

class LinkE2E : public testing::TestWithParam<Engine> {};
INSTANTIATE_TEST_SUITE_P(Engines, LinkE2E, testing::Values(Engine::Zolemul, Engine::Builtin), EngineName);

// What tests/host/link_host.py saw.
struct HostProgramRun {
    int good = 0, corrupted = 0, missing = 0, other = 0;
    long rttMinUs = 0, rttMedianUs = 0;
    std::string replies;  // with --dump: what came back for each request, a line each
};

std::optional<HostProgramRun> RunHostProgram(const std::string& port, std::vector<std::string> args) {
    args.insert(args.begin(), {LINK_HOST_SCRIPT, port});
    Host program(args, "", ZOL_SYSTEM_PYTHON);
    const auto status = program.Exit();
    const std::string out = program.Output();
    std::smatch m;
    const std::regex line(R"(good (\d+) corrupted (\d+) missing (\d+) other (\d+) rtt_min_us (-?\d+) rtt_median_us (-?\d+))");
    if (status != 0 || !std::regex_search(out, m, line)) {
        ADD_FAILURE() << "host program: " << out;
        return std::nullopt;
    }
    std::string replies;
    const std::regex reply(R"(reply [0-9A-F]{2}: [0-9a-f ]*\n)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), reply); it != std::sregex_iterator(); ++it) {
        replies += it->str();
    }
    return HostProgramRun{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4]), std::stol(m[5]),
                          std::stol(m[6]), replies};
}

bool HavePyserial() {
    // Isolated mode: the test's working folder cannot pass for the package.
    Host probe({"-I", "-c", "import serial.tools.list_ports"}, "", ZOL_SYSTEM_PYTHON);
    return probe.Exit() == 0;
}

#define REQUIRE_PYSERIAL()                                                                                   \
    REQUIRE_DEPENDENCY(HavePyserial(), ZOL_SYSTEM_PYTHON " cannot import serial: install python3-serial "    \
                                       "(tools/install-build-deps.sh does)")

TEST_P(LinkE2E, CarriesAHostProgramPacedThroughReopensAndItsOwnSettings) {
    REQUIRE_PYSERIAL();
    LinkSession s({}, {}, GetParam());
    ASSERT_TRUE(s.Ready()) << s.host->Output();
    // Halfway the program closes the port, opens it again and turns on a terminal's
    // echo, line editing, XON/XOFF and CR/LF translation, which would eat or change
    // reply bytes (00, 13) and request bytes (D1 0A).
    const auto run = RunHostProgram(s.Port(), {"40", "--reopen", "--cooked"});
    ASSERT_TRUE(run);
    EXPECT_EQ(run->good, 40);
    EXPECT_EQ(run->corrupted + run->missing + run->other, 0);
    // At 115200 baud a request (7 bytes) and its reply (9 bytes) take 1.39 ms on the wire.
    EXPECT_GE(run->rttMinUs, 1389);
    EXPECT_LT(run->rttMedianUs, 8000);

    s.host->Process().signal(SIGTERM);
    EXPECT_EQ(s.host->Exit(10s), 0) << s.host->Output();
    const std::string out = s.host->Output();
    EXPECT_NE(out.find("host to device: 280 bytes; requests seen: 40\n"), std::string::npos) << out;
    EXPECT_NE(out.find("device to host: 360 bytes; replies: 40, forwarded 40, dropped 0, corrupted 0"), std::string::npos)
        << out;
    EXPECT_FALSE(Exists(s.Port()));
    EXPECT_FALSE(Exists(s.Com2()));
    EXPECT_EQ(s.StopDevice(), 0);
}

TEST_P(LinkE2E, FaultsInTheSummaryAreTheOnesTheHostSaw) {
    REQUIRE_PYSERIAL();
    LinkSession s({"--pace", "0", "--trace"},
                  {"--drop", "20", "--corrupt", "20", "--delay", "1-3", "--split", "1", "--seed", "7"}, GetParam());
    ASSERT_TRUE(s.Ready()) << s.host->Output();
    const auto run = RunHostProgram(s.Port(), {"60", "--timeout", "0.5"});
    ASSERT_TRUE(run);
    s.host->Process().signal(SIGTERM);
    EXPECT_EQ(s.host->Exit(10s), 0) << s.host->Output();
    const std::string out = s.host->Output();
    std::smatch m;
    const std::regex summary(R"(replies: 60, forwarded (\d+), dropped (\d+), corrupted (\d+), delayed (\d+), split (\d+))");
    ASSERT_TRUE(std::regex_search(out, m, summary)) << out;
    const int forwarded = std::stoi(m[1]), dropped = std::stoi(m[2]), corrupted = std::stoi(m[3]);
    // Seed 7 gives both faults; each reply is delayed 1-3 ms and split, and still whole.
    EXPECT_GT(dropped, 0);
    EXPECT_GT(corrupted, 0);
    EXPECT_EQ(run->missing, dropped);
    EXPECT_EQ(run->corrupted, corrupted);
    EXPECT_EQ(run->good, forwarded - corrupted);
    EXPECT_EQ(run->other, 0);
    EXPECT_EQ(std::stoi(m[4]), forwarded);
    EXPECT_EQ(std::stoi(m[5]), forwarded);
    // The trace names each frame and what was done to it.
    EXPECT_NE(out.find("> 02 00 00 00 00 03 FC        request D1 00"), std::string::npos) << out;
    const std::regex droppedLine(R"(< 12 [0-9A-F ]+ reply EA [0-9A-F]{2} good, dropped\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), droppedLine), std::sregex_iterator()), dropped)
        << out;
    EXPECT_EQ(s.StopDevice(), 0);
}

// A host program that opens its port at another rate or frame than the device's
// 115200 8N1 is told so by name, and meets what a real device would give it: its
// requests and the replies garbled (or, with --mismatch warn, passed on). Back at
// 115200 8N1 it is answered again.
TEST_P(LinkE2E, GarblesForAHostProgramOnAnotherLineAndNamesItsSettings) {
    REQUIRE_PYSERIAL();
    for (const bool warn : {false, true}) {
        LinkSession s({}, warn ? std::vector<std::string>{"--mismatch", "warn"} : std::vector<std::string>{},
                      GetParam());
        ASSERT_TRUE(s.Ready()) << s.host->Output();
        const auto slow = RunHostProgram(s.Port(), {"5", "--baud", "9600", "--timeout", "0.3"});
        ASSERT_TRUE(slow);
        EXPECT_EQ(slow->good, warn ? 5 : 0);
        EXPECT_TRUE(s.host->Shows("host line: 9600 baud, 1 stop bit")) << s.host->Output();
        EXPECT_TRUE(s.host->Shows("(9600 baud against the device's 115200)")) << s.host->Output();
        if (!warn) {
            const auto twoStop = RunHostProgram(s.Port(), {"5", "--stopbits", "2", "--timeout", "0.3"});
            ASSERT_TRUE(twoStop);
            EXPECT_EQ(twoStop->good, 0);
            EXPECT_TRUE(s.host->Shows("host line: 115200 baud, 2 stop bits; it differs from the device's 115200 8N1 "
                                      "(2 stop bits against 1)"))
                << s.host->Output();
        }
        const auto right = RunHostProgram(s.Port(), {"5"});
        ASSERT_TRUE(right);
        EXPECT_EQ(right->good, 5);
        s.host->Process().signal(SIGTERM);
        EXPECT_EQ(s.host->Exit(10s), 0) << s.host->Output();
        const std::string out = s.host->Output();
        if (warn) {
            // Every byte went as it came: 5 requests and their replies.
            EXPECT_NE(out.find("passed unchanged while the host's line differed from the device's: 35 bytes to the "
                               "device, 45 to the host"),
                      std::string::npos)
                << out;
            EXPECT_NE(out.find("bytes pass unchanged (--mismatch warn)"), std::string::npos) << out;
        } else {
            // Ten requests sent on the wrong line: none reached the device as a request.
            EXPECT_NE(out.find("garbled while the host's line differed from the device's: 70 bytes to the device"),
                      std::string::npos)
                << out;
            EXPECT_NE(out.find("requests seen: 5\n"), std::string::npos) << out;
        }
        EXPECT_EQ(s.StopDevice(), 0);
    }
}

// The capture of a link as Wireshark shows it, through the dissector: every request
// and reply the host program exchanged, in their directions, decoded and checked.
TEST_P(LinkE2E, CaptureShowsEveryFrameTheHostExchangedToTshark) {
    REQUIRE_PYSERIAL();
    REQUIRE_DEPENDENCY(!TsharkPath().empty(), "tshark (tools/install-build-deps.sh installs it)");
    TempDir work;
    const std::string capture = work / "link.pcapng";
    LinkSession s({}, {"--pcap", capture, "--corrupt", "30", "--seed", "3"}, GetParam());
    ASSERT_TRUE(s.Ready()) << s.host->Output();
    const auto run = RunHostProgram(s.Port(), {"20"});
    ASSERT_TRUE(run);
    s.host->Process().signal(SIGTERM);
    EXPECT_EQ(s.host->Exit(10s), 0) << s.host->Output();
    EXPECT_EQ(s.StopDevice(), 0);
    ASSERT_GT(run->corrupted, 0);
    const auto rows = TsharkFields(capture,
                                   {"frame.packet_flags_direction", "zol.kind", "zol.d1", "zol.ea",
                                    "zol.checksum.good", "zol.ea.matches", "frame.comment"},
                                   work, ZOLEMUL_LUA);
    ASSERT_TRUE(rows);
    int requests = 0, replies = 0, good = 0, corrupted = 0;
    std::string d1;
    for (const auto& r : *rows) {
        if (r[1] == "request") {
            EXPECT_EQ(r[0], "0x00000002");  // outbound: host to device
            EXPECT_EQ(r[4], "1");
            d1 = r[2];
            ++requests;
        } else if (r[1] == "reply") {
            EXPECT_EQ(r[0], "0x00000001");
            EXPECT_EQ(r[5], "1") << "EA " << r[3] << " after D1 " << d1;
            ++replies;
            good += r[4] == "1";
            corrupted += r[4] == "0" && r[6].find("corrupted") != std::string::npos;
        } else {
            EXPECT_EQ(r[1], "note") << "a frame the host did not exchange";
        }
    }
    EXPECT_EQ(requests, 20);
    EXPECT_EQ(replies, 20);
    EXPECT_EQ(good, run->good);
    EXPECT_EQ(corrupted, run->corrupted);
}

TEST(HostE2E, LinkNeverReplacesWhatIsAtHostPath) {
    TempDir dir;
    { std::ofstream(dir / "hostport") << "keep me"; }
    Host host({"--virtual", dir.path(), "link", dir / "hostport"});
    EXPECT_EQ(host.Exit(), 3);
    EXPECT_NE(host.Output().find(dir / "hostport" + ": it already exists"), std::string::npos) << host.Output();
    std::ifstream in(dir / "hostport");
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
    EXPECT_FALSE(Exists(dir / "COM2"));  // the device end made first is gone too
}

// zolhost link listening at a URL, in front of zolemul.
struct NetLinkSession {
    TempDir dir;
    std::unique_ptr<Host> host;
    std::unique_ptr<Emulator> emu;
    std::string url;  // as zolhost printed it

    NetLinkSession(const std::vector<std::string>& global, const std::string& listen,
                   const std::vector<std::string>& linkArgs = {}) {
        std::vector<std::string> args = {"--virtual", dir.path(), "--wait", "20"};
        args.insert(args.end(), global.begin(), global.end());
        args.insert(args.end(), {"link", listen});
        args.insert(args.end(), linkArgs.begin(), linkArgs.end());
        host = std::make_unique<Host>(args);
        if (WaitUntil([&] { return IsSymlink(dir / "COM2"); }, kStartLimit)) {
            emu = std::make_unique<Emulator>(dir.path());
        }
    }
    bool Ready() {
        if (!emu || !emu->Started() || !host->Shows(dir / "COM2 opened")) {
            return false;
        }
        std::smatch m;
        const std::string out = host->Output();
        if (!std::regex_search(out, m, std::regex(R"((^|\n)((rfc2217|tcp)://127\.0\.0\.1:[1-9][0-9]*)\n)"))) {
            return false;
        }
        url = m[2];
        return true;
    }
    // Ends zolhost as Ctrl-C would and gives what it printed.
    std::string Stop() {
        host->Process().signal(SIGINT);
        EXPECT_EQ(host->Exit(10s), 0);
        EXPECT_EQ(emu->Stop(), 0);
        return host->Output();
    }
};

std::string RunScript(const std::vector<std::string>& args, std::optional<int>* status) {
    Host program(args, "", ZOL_SYSTEM_PYTHON);
    *status = program.Exit();
    return program.Output();
}

TEST(HostE2E, LinkServesPyserialsRfc2217ClientWithItsModemLinesAndPurges) {
    REQUIRE_PYSERIAL();
    NetLinkSession s({"--trace"}, "rfc2217://127.0.0.1:0");
    ASSERT_TRUE(s.Ready()) << s.host->Output();
    std::optional<int> status;
    // Modem lines both ways, 200 requests (D1 = 00 among them), a second client
    // turned away, a purge, a close and a reopen.
    const std::string program = RunScript({RFC2217_HOST_SCRIPT, s.url, "--device-line"}, &status);
    EXPECT_EQ(status, 0) << program;
    EXPECT_NE(program.find("ok requests 205"), std::string::npos) << program;
    const std::string out = s.Stop();
    EXPECT_NE(out.find("requests seen: 206\n"), std::string::npos) << out;  // the one purged too
    EXPECT_NE(out.find("host DTR off"), std::string::npos) << out;
    EXPECT_NE(out.find("host RTS off"), std::string::npos) << out;
    EXPECT_NE(out.find("host purge receive buffer"), std::string::npos) << out;
    EXPECT_NE(out.find("another client turned away"), std::string::npos) << out;
    EXPECT_NE(out.find("> 02 00 00 00 00 03 FC        request D1 00"), std::string::npos) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(host line: (.*); (\d+) settings, (\d+) control changes, (\d+) purges)")))
        << out;
    EXPECT_EQ(m[1], "115200 8N1, DTR on, RTS on");  // as the last client left it
    // The client at 9600 is told, and its bytes meet a UART at 115200.
    EXPECT_NE(out.find("host line: 9600 8N1; it differs from the device's 115200 8N1 (9600 baud against the "
                       "device's 115200): bytes are garbled"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("host line: 115200 8N1, as the device's again"), std::string::npos) << out;
    EXPECT_NE(out.find("garbled while the host's line differed from the device's: 7 bytes to the device"),
              std::string::npos)
        << out;
    EXPECT_GE(std::stoi(m[3]), 8);
    EXPECT_GE(std::stoi(m[4]), 1);
}

TEST(HostE2E, LinkOverRfc2217AppliesItsFaultsAndRawTcpCarriesPyserialsSocketUrl) {
    REQUIRE_PYSERIAL();
    {
        NetLinkSession s({"--pace", "0"}, "rfc2217://127.0.0.1:0", {"--drop", "20", "--seed", "7"});
        ASSERT_TRUE(s.Ready()) << s.host->Output();
        const auto run = RunHostProgram(s.url, {"60", "--timeout", "0.5"});
        ASSERT_TRUE(run);
        const std::string out = s.Stop();
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(replies: 60, forwarded (\d+), dropped (\d+))"))) << out;
        EXPECT_GT(std::stoi(m[2]), 0);
        EXPECT_EQ(run->missing, std::stoi(m[2]));
        EXPECT_EQ(run->good, std::stoi(m[1]));
        EXPECT_EQ(run->other + run->corrupted, 0);
    }
    NetLinkSession s({}, "tcp://127.0.0.1:0");
    ASSERT_TRUE(s.Ready()) << s.host->Output();
    std::string socketUrl = s.url;
    socketUrl.replace(0, 3, "socket");
    // Half the rounds, the client leaves, and a new one is served.
    const auto run = RunHostProgram(socketUrl, {"40", "--reopen"});
    ASSERT_TRUE(run);
    EXPECT_EQ(run->good, 40);
    // Paced at 115200 as on a pty: 1.39 ms on the wire, also for the first request,
    // which comes while the link is still taking the client in.
    EXPECT_GE(run->rttMinUs, 1389);
    const std::string out = s.Stop();
    EXPECT_NE(out.find("host to device: 280 bytes; requests seen: 40\n"), std::string::npos) << out;
    EXPECT_NE(out.find("the client left"), std::string::npos) << out;
}

TEST(HostE2E, LinkOverRfc2217RefusesBadInputAndServesTheNextClient) {
    REQUIRE_PYSERIAL();
    NetLinkSession s({"--pace", "0"}, "rfc2217://127.0.0.1:0");
    ASSERT_TRUE(s.Ready()) << s.host->Output();
    std::optional<int> status;
    const std::string port = s.url.substr(s.url.rfind(':') + 1);
    const std::string sent = RunScript({HOSTILE_CLIENT_SCRIPT, "127.0.0.1", port}, &status);
    EXPECT_EQ(status, 0) << sent;
    const auto run = RunHostProgram(s.url, {"40"});
    ASSERT_TRUE(run);
    EXPECT_EQ(run->good, 40);
    const std::string out = s.Stop();
    // Only the good client's requests reached the device: no telnet byte as data.
    EXPECT_NE(out.find("host to device: 280 bytes; requests seen: 40\n"), std::string::npos) << out;
}

// The host program, 20 rounds through the tcp:// URL a link printed, as socket://.
void TwentyRoundsOverTcp(Host& link) {
    std::smatch m;
    const std::string out = link.Output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(\ntcp://(127\.0\.0\.1:[0-9]+)\n)"))) << out;
    const auto run = RunHostProgram("socket://" + m[1].str(), {"20"});
    ASSERT_TRUE(run);
    EXPECT_EQ(run->good, 20);
}

constexpr char kSer2net[] = "/usr/sbin/ser2net";

// A loopback port free a moment ago, for a server that cannot pick its own.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0;
    close(fd);
    return ok ? ntohs(a.sin_port) : -1;
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

// ser2net in front of zolemul, as on a lab machine: zolemul holds DIR/COM2, ser2net
// serves the far end of the pair (a zolhost link, unpaced, joins the two ptys).
TEST(HostE2E, PingBenchAndLinkReachZolemulBehindSer2net) {
    REQUIRE_DEPENDENCY(access(kSer2net, X_OK) == 0, "ser2net (tools/install-build-deps.sh installs it)");
    TempDir dir;
    Host pair({"--virtual", dir.path(), "--pace", "0", "--wait", "20", "link", dir / "far"});
    ASSERT_TRUE(WaitUntil([&] { return IsSymlink(dir / "COM2") && IsSymlink(dir / "far"); }, kStartLimit));
    Emulator emu(dir.path());
    ASSERT_TRUE(emu.Started() && pair.Shows(dir / "COM2 opened")) << pair.Output();
    const int port = FreePort();
    const std::string config = dir / "ser2net.yaml";
    std::ofstream(config) << "connection: &zol\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port
                          << "\n  connector: serialdev," << std::filesystem::read_symlink(dir / "far").string()
                          << ",115200n81,local\n";
    Host ser2net({"-n", "-c", config, "-P", dir / "ser2net.pid"}, "", kSer2net);
    ASSERT_TRUE(WaitUntil([&] { return Accepts(port); }, kStartLimit)) << ser2net.Output();
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(port);

    Host ping({"--port", url, "ping"});
    EXPECT_EQ(ping.Exit(), 0) << ping.Output();
    EXPECT_NE(ping.Output().find("EA FF: good"), std::string::npos) << ping.Output();
    Host bench({"--port", url, "bench", "--frames", "200"});
    EXPECT_EQ(bench.Exit(), 0) << bench.Output();
    EXPECT_NE(bench.Output().find("all replies good"), std::string::npos) << bench.Output();

    {  // the link with its device end on the network
        REQUIRE_PYSERIAL();
        Host link({"--port", url, "link", "tcp://127.0.0.1:0"});
        ASSERT_TRUE(link.Shows("Ctrl-C to stop")) << link.Output();
        TwentyRoundsOverTcp(link);
        link.Process().signal(SIGTERM);
        EXPECT_EQ(link.Exit(10s), 0) << link.Output();
    }
    ser2net.Process().signal(SIGTERM);
    EXPECT_TRUE(ser2net.Exit(10s));
    pair.Process().signal(SIGTERM);
    EXPECT_EQ(pair.Exit(10s), 0);
    EXPECT_EQ(emu.Stop(), 0);
}

// One command, one readiness line: the URL comes once zolemul has its port open.
TEST(HostE2E, LinkSpawnsZolemulBehindItAndEndsItWithTheLink) {
    REQUIRE_PYSERIAL();
    Host host({"link", "--spawn", "--device-exe", ZOLEMUL_PATH, "tcp://127.0.0.1:0"});
    ASSERT_TRUE(host.Shows("Ctrl-C to stop")) << host.Output();
    std::smatch m;
    std::string out = host.Output();
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(in (/\S+zolhost-link-\w+), its console)"))) << out;
    const std::string dir = m[1];
    TwentyRoundsOverTcp(host);
    host.Process().signal(SIGTERM);
    EXPECT_EQ(host.Exit(15s), 0) << host.Output();
    out = host.Output();
    EXPECT_NE(out.find("requests seen: 20\n"), std::string::npos) << out;
    EXPECT_FALSE(Exists(dir)) << out;  // zolemul ended, its port and dir removed
}

// A device of the test's own at the device end of `zolhost --virtual DIR`: it
// answers every request it receives, D1 `wrong` with EA 00.
class DoubleDevice {
public:
    DoubleDevice(const std::string& com2, std::uint8_t wrong) {
        fd_ = open(com2.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            return;
        }
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        thread_ = std::thread([this, wrong] {
            Bytes got;
            std::uint8_t buf[64];
            pollfd pfd{fd_, POLLIN, 0};
            while (!stop_) {
                if (poll(&pfd, 1, 50) <= 0) {
                    continue;
                }
                const ssize_t n = read(fd_, buf, sizeof buf);
                if (n <= 0) {
                    break;  // zolhost has let go of the link
                }
                got.insert(got.end(), buf, buf + n);
                for (; got.size() >= 7; got.erase(got.begin(), got.begin() + 7)) {
                    WriteAll(fd_, got[1] == wrong ? Bytes{0x12, 0, 0, 0, 0, 0, 0, 0x13, 0xDC} : ReplyFor(got[1]));
                }
            }
        });
    }
    ~DoubleDevice() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool Opened() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A session through a faulty link, captured, then replayed: the recorded device
// gives the same host program the same replies, drops and corruptions, byte for
// byte, and tells a program that strays from the recording where, in one line; the
// host's side replayed to a fresh zolemul matches everywhere, and to a device that
// answers one request differently, that frame is named and the replay fails.
TEST(HostE2E, ACapturedSessionReplaysAsTheDeviceAndAgainstOne) {
    REQUIRE_PYSERIAL();
    TempDir work;
    const std::string capture = work / "c.pcapng";
    const std::vector<std::string> program = {"40", "--dump", "--timeout", "0.3"};
    std::optional<HostProgramRun> live;
    {
        LinkSession s({}, {"--drop", "10", "--corrupt", "10", "--seed", "7", "--pcap", capture});
        ASSERT_TRUE(s.Ready()) << s.host->Output();
        live = RunHostProgram(s.Port(), program);
        s.host->Process().signal(SIGTERM);
        EXPECT_EQ(s.host->Exit(10s), 0) << s.host->Output();
        EXPECT_EQ(s.emu->Stop(), 0);
    }
    ASSERT_TRUE(live);
    ASSERT_GT(live->missing, 0);
    ASSERT_GT(live->corrupted, 0);

    const std::string port = work / "replayport";
    Host device({"replay", capture, "--as-device", port});
    ASSERT_TRUE(WaitUntil([&] { return IsSymlink(port); }, kStartLimit)) << device.Output();
    const auto again = RunHostProgram(port, program);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->replies, live->replies);
    device.Process().signal(SIGTERM);
    EXPECT_EQ(device.Exit(10s), 0) << device.Output();
    EXPECT_NE(device.Output().find("replay: 40 requests as recorded, 0 not"), std::string::npos) << device.Output();

    Host strayed({"replay", capture, "--as-device", port});
    ASSERT_TRUE(WaitUntil([&] { return IsSymlink(port); }, kStartLimit)) << strayed.Output();
    ASSERT_TRUE(RunHostProgram(port, {"5", "--change", "3", "--timeout", "0.3"}));
    strayed.Process().signal(SIGTERM);
    EXPECT_EQ(strayed.Exit(10s), 1) << strayed.Output();
    const std::regex deviation(R"(the host program deviates at [0-9.]+ s from the recording's frame \d+ \(at [0-9.]+ s\): )"
                               R"(expected 02 03 00 00 00 03 F9, received 02 77 00 00 00 03 85\n)");
    EXPECT_TRUE(std::regex_search(strayed.Output(), deviation)) << strayed.Output();

    Host fresh({"replay", capture, "--spawn", "--device-exe", ZOLEMUL_PATH});
    EXPECT_EQ(fresh.Exit(), 0) << fresh.Output();
    EXPECT_NE(fresh.Output().find("replay: 40 packets of the device compared: all as recorded"), std::string::npos)
        << fresh.Output();

    TempDir dir;
    Host replay({"--virtual", dir.path(), "replay", capture, "--fast"});
    ASSERT_TRUE(WaitUntil([&] { return IsSymlink(dir / "COM2"); }, kStartLimit));
    DoubleDevice twin(dir / "COM2", 0x05);
    ASSERT_TRUE(twin.Opened());
    EXPECT_EQ(replay.Exit(), 1) << replay.Output();
    const std::regex named(R"(frame \d+ at [0-9.]+ s: expected 12 FA 00 00 00 00 00 13 E2, got 12 00 00 00 00 00 00 13 DC\n)");
    EXPECT_TRUE(std::regex_search(replay.Output(), named)) << replay.Output();
    EXPECT_NE(replay.Output().find("40 packets of the device compared: 1 differ"), std::string::npos) << replay.Output();
}

// A capture of requests to a device, the replies recorded for the first `answered`
// of them only.
std::string RequestsCapture(const std::string& path, int requests, int answered, std::uint64_t gapUs = 0) {
    using zolhost::PcapWriter;
    PcapWriter w;
    std::string error;
    EXPECT_TRUE(w.Open(path, &error, {zolhost::RelayConfigTag(zolhost::RelayConfig{})})) << error;
    for (int i = 0; i < requests; ++i) {
        const auto us = static_cast<std::uint64_t>(i) * 10000 + (i > 0 ? gapUs : 0);
        const Bytes req = Request(static_cast<std::uint8_t>(i));
        w.Packet(PcapWriter::Direction::HostToDevice, us, req.data(), req.size(), "");
        if (i < answered) {
            const Bytes rep = ReplyFor(static_cast<std::uint8_t>(i));
            w.Packet(PcapWriter::Direction::DeviceToHost, us + 1500, rep.data(), rep.size(), "");
        }
    }
    w.Close();
    return path;
}

// Every byte the device sends is held against the recording: a reply the
// recording does not hold is a difference, said after the request's frame, and a
// replay of many such requests with --fast takes the device's time to answer, not
// a timeout each. A capture with nothing to hold a device against, empty or cut,
// is refused.
TEST(HostE2E, ReplayHoldsEveryByteOfTheDeviceAgainstTheRecording) {
    TempDir work;
    Host unrecorded({"replay", RequestsCapture(work / "u.pcapng", 200, 1), "--spawn", "--device-exe", ZOLEMUL_PATH,
                     "--fast"});
    EXPECT_EQ(unrecorded.Exit(), 1) << unrecorded.Output();
    // The reply to request 1, which the recording does not hold: said after its
    // request's frame, or with the next request's where the device was slow to answer
    // (the replay hears it out for twice the recorded device's usual time).
    EXPECT_TRUE(std::regex_search(unrecorded.Output(),
                                  std::regex(R"(after frame (3 at 0\.010000|4 at 0\.020000) s: expected nothing more, )"
                                             R"(got 12 FE 00 00 00 00 00 13 \w\w( 12 FD 00 00 00 00 00 13 \w\w)?\n)")))
        << unrecorded.Output();
    // Each unrecorded reply is said (one that comes late is said with the next, and
    // after the last request, as unexpected).
    std::smatch verdict;
    const std::string said = unrecorded.Output();
    ASSERT_TRUE(std::regex_search(said, verdict, std::regex(R"(replay: 1 packets of the device compared: (\d+) differ)")));
    int lines = 0;
    for (const char* line : {"\nafter frame ", "\nunexpected: "}) {
        for (std::size_t at = 0; (at = said.find(line, at)) != std::string::npos; ++at) {
            ++lines;
        }
    }
    EXPECT_EQ(std::to_string(lines), verdict[1].str());
    EXPECT_GT(lines, 100);

    // A gap of 10^13 us (116 days) in the recording is said, not waited out silently.
    Host gap({"replay", RequestsCapture(work / "g.pcapng", 2, 1, 10000000000000), "--spawn", "--device-exe",
              ZOLEMUL_PATH});
    EXPECT_TRUE(gap.Shows("frame 3 is sent at its recorded time, 100000")) << gap.Output();
    gap.Process().signal(SIGTERM);
    EXPECT_EQ(gap.Exit(), 1) << gap.Output();

    const std::string cut = work / "cut.pcapng";
    RequestsCapture(cut, 0, 0);
    std::ofstream(cut, std::ios::app).put('\x06');
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"replay", RequestsCapture(work / "q.pcapng", 5, 0), "--spawn"}, "holds no packet of the device"},
        {{"replay", RequestsCapture(work / "e.pcapng", 0, 0), "--spawn"}, "holds no packets"},
        {{"replay", cut, "--spawn"}, "cut short: 1 bytes of a block at the end"},
        {{"replay", work.path(), "--spawn"}, "Is a directory"},
        {{"replay", work / "u.pcapng", "--as-device", work / "p", "--fast"}, "--fast is for a replay against a device"},
    };
    for (const auto& [args, why] : refused) {
        Host replay(args);
        EXPECT_EQ(replay.Exit(), 2) << replay.Output();
        EXPECT_NE(replay.Output().find(why), std::string::npos) << replay.Output();
    }
}

// serve checks what it can before its devices start, says where they are only
// once it has written its manifest, and ends within bounds, failing, when a
// zolemul hangs; when one dies, it ends them all, saying so and nothing else
// (no wait for the dead one's port); standard input closed ends it as standard
// input's end does.
TEST(HostE2E, ServeChecksBeforeItSpeaksAndEndsInBoundsWhenADeviceHangs) {
    TempDir work;
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"serve", "--devices", "1", "--manifest", work / "no/m.json"},
         "cannot write " + work / "no/m.json" + ": No such file or directory"},
        {{"serve", "--devices", "2", "--host", work / "port"}, "would share the host end"},
        {{"serve", "--devices", "2", "--host", "tcp://127.0.0.1:65535"}, "past 65535"},
        {{"--timeout", "5", "serve", "--devices", "1"}, "--timeout is for"},
    };
    for (const auto& [args, why] : refused) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"--device-exe", ZOLEMUL_PATH});
        Host serve(all);
        EXPECT_NE(serve.Exit(), 0);
        EXPECT_NE(serve.Output().find(why), std::string::npos) << serve.Output();
        EXPECT_EQ(serve.Output().find("{\"devices\""), std::string::npos) << serve.Output();
        EXPECT_FALSE(Exists(work / "port"));
    }

    Host serve({"serve", "--devices", "1", "--engine", "zolemul", "--device-exe", ZOLEMUL_PATH, "--host", "pty", "--pty-dir", work.path()});
    ASSERT_TRUE(serve.Shows("\"devices\"")) << serve.Output();
    std::smatch m;
    const std::string doc = serve.Output();
    ASSERT_TRUE(std::regex_search(doc, m, std::regex(R"x("dir":"([^"]+)".*"pid":(\d+))x"))) << doc;
    EXPECT_NE(doc.find("serving 1 device;"), std::string::npos) << doc;
    kill(std::stoi(m[2]), SIGSTOP);
    serve.Process().signal(SIGTERM);
    EXPECT_EQ(serve.Exit(20s), 1) << serve.Output();
    EXPECT_NE(serve.Output().find("device 0 did not end cleanly"), std::string::npos) << serve.Output();
    EXPECT_FALSE(Exists(m[1].str())) << m[1];

    Host dies({"serve", "--devices", "1", "--engine", "zolemul", "--device-exe", ZOLEMUL_PATH});
    ASSERT_TRUE(dies.Shows("\"devices\"")) << dies.Output();
    const std::string up = dies.Output();
    ASSERT_TRUE(std::regex_search(up, m, std::regex(R"x("dir":"([^"]+)".*"pid":(\d+))x"))) << up;
    kill(std::stoi(m[2]), SIGKILL);
    EXPECT_EQ(dies.Exit(20s), 1) << dies.Output();
    EXPECT_NE(dies.Output().find("device 0: zolemul (pid " + m[2].str() + ") ended"), std::string::npos) << dies.Output();
    EXPECT_NE(dies.Output().find("ending every device"), std::string::npos) << dies.Output();
    EXPECT_EQ(dies.Output().find("waiting for it to be opened again"), std::string::npos) << dies.Output();
    EXPECT_FALSE(Exists(m[1].str())) << m[1];

    // Killed outright: nothing it made that claims a live device stays.
    Host killed({"serve", "--devices", "2", "--engine", "zolemul", "--device-exe", ZOLEMUL_PATH, "--on", "1:--host pty", "--manifest",
                 work / "m.json"});
    ASSERT_TRUE(killed.Shows("\"devices\"")) << killed.Output();
    const std::string served = killed.Output();
    std::vector<std::string> made = {work / "m.json"};
    const std::regex path(R"x("(dir|pty)":"([^"]+)")x");
    for (auto it = std::sregex_iterator(served.begin(), served.end(), path); it != std::sregex_iterator(); ++it) {
        made.push_back((*it)[2]);
    }
    ASSERT_EQ(made.size(), 4u) << served;  // the manifest, two dirs, one pty
    made.push_back(std::filesystem::path(made.back()).parent_path());  // serve's own pty dir
    killed.Process().signal(SIGKILL);
    EXPECT_TRUE(WaitUntil([&] { return std::none_of(made.begin(), made.end(), Exists); }, 10s))
        << ::testing::PrintToString(made);

    Host closed({"-c", "exec \"$0\" serve --devices 1 --device-exe \"$1\" --exit-with-stdin <&-", ZOLHOST_PATH,
                 ZOLEMUL_PATH},
                "", "/bin/sh");
    EXPECT_TRUE(closed.Exit(20s).has_value()) << closed.Output();
    EXPECT_NE(closed.Output().find("standard input closed"), std::string::npos) << closed.Output();
}

}  // namespace

namespace {

// zolhost link in front of a device, listening for one RFC 2217 client; the URL it printed.
std::string LinkUrl(Host& link) {
    if (!link.Shows("Ctrl-C to stop")) {
        return {};
    }
    std::smatch m;
    const std::string out = link.Output();
    return std::regex_search(out, m, std::regex(R"((^|\n)(rfc2217://127\.0\.0\.1:[1-9][0-9]*)\n)")) ? m[2].str()
                                                                                                   : std::string();
}

}  // namespace

// The same byte streams from one host program (good frames, noise, bad frames,
// frames in pieces, a flood it does not read at first, a purge) to zolemul and to
// the built-in device, each behind a paced link: what comes back is the same, byte
// for byte.
TEST(HostE2E, TheBuiltinDeviceAnswersEveryStreamByteForByteAsZolemulDoes) {
    REQUIRE_PYSERIAL();
    std::string seen[2];
    for (const Engine e : {Engine::Zolemul, Engine::Builtin}) {
        std::vector<std::string> args = {"link", "rfc2217://127.0.0.1:0"};
        if (e == Engine::Zolemul) {
            args.insert(args.end(), {"--spawn", "--device-exe", ZOLEMUL_PATH});
        } else {
            args.push_back("--builtin");
        }
        Host link(args);
        const std::string url = LinkUrl(link);
        ASSERT_FALSE(url.empty()) << link.Output();
        std::optional<int> status;
        std::string& out = seen[e == Engine::Zolemul ? 0 : 1];
        out = RunScript({DIFFERENTIAL_HOST_SCRIPT, url}, &status);
        EXPECT_EQ(status, 0) << out;
        link.Process().signal(SIGTERM);
        EXPECT_EQ(link.Exit(15s), 0) << link.Output();
    }
    // Each phase came back whole: every good request answered, the flood's too but
    // its first, which the three bytes the split phase left (02 02 03) take with them.
    for (const char* phase : {"good 360: ", "flood 5391: ", "purge 27: "}) {
        EXPECT_NE(seen[0].find(phase), std::string::npos) << phase << " in\n" << seen[0];
    }
    EXPECT_EQ(seen[1], seen[0]);
}

// A session with the built-in device, captured through a faulty link, replays
// against a real zolemul with every packet of the device as recorded.
TEST(HostE2E, ABuiltinDevicesCaptureReplaysAgainstZolemulAsRecorded) {
    REQUIRE_PYSERIAL();
    TempDir work;
    const std::string capture = work / "builtin.pcapng";
    {
        LinkSession s({}, {"--drop", "10", "--corrupt", "10", "--seed", "7", "--pcap", capture}, Engine::Builtin);
        ASSERT_TRUE(s.Ready()) << s.host->Output();
        const auto run = RunHostProgram(s.Port(), {"40", "--timeout", "0.3"});
        ASSERT_TRUE(run);
        EXPECT_GT(run->missing, 0);
        s.host->Process().signal(SIGTERM);
        EXPECT_EQ(s.host->Exit(10s), 0) << s.host->Output();
    }
    Host fresh({"replay", capture, "--spawn", "--device-exe", ZOLEMUL_PATH});
    EXPECT_EQ(fresh.Exit(), 0) << fresh.Output();
    EXPECT_NE(fresh.Output().find("replay: 40 packets of the device compared: all as recorded"), std::string::npos)
        << fresh.Output();
}

namespace {

// A device on a loopback tcp:// end that answers every request, and splits each
// reply it sends with no request behind it (the last of a batch, and so the last
// of all) in two, 20 ms apart: the host reads the reply in two pieces.
class SplittingTcpDevice {
public:
    SplittingTcpDevice() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(listener_, 1) == 0 &&
            getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port_ = ntohs(a.sin_port);
        }
        thread_ = std::thread([this] { Serve(); });
    }
    ~SplittingTcpDevice() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    std::string Url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    int Split() const { return split_; }

private:
    // Waits up to ms for fd to be readable.
    static bool Readable(int fd, int ms = 50) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, ms) > 0;
    }
    void Serve() {
        const auto deadline = Clock::now() + kRunLimit;
        int c = -1;
        while (c < 0 && !stop_ && Clock::now() < deadline) {
            if (Readable(listener_)) {
                c = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            }
        }
        if (c >= 0) {
            const int on = 1;  // each piece goes at once
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        Bytes in;
        while (c >= 0 && !stop_ && Clock::now() < deadline) {
            if (!Readable(c)) {
                continue;
            }
            std::uint8_t buf[4096];
            const ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            in.insert(in.end(), buf, buf + n);
            while (in.size() >= 7) {
                const Bytes reply = ReplyFor(in[1]);
                in.erase(in.begin(), in.begin() + 7);
                if (in.empty() && !Readable(c, 0)) {
                    ++split_;
                    (void)!write(c, reply.data(), 4);
                    std::this_thread::sleep_for(20ms);
                    (void)!write(c, reply.data() + 4, reply.size() - 4);
                } else {
                    (void)!write(c, reply.data(), reply.size());
                }
            }
        }
        if (c >= 0) {
            close(c);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> split_{0};
    std::thread thread_;
};

}  // namespace

// A pipelined bench over a tcp:// end: every reply comes, the last one too, though
// it arrives in two pieces (the host's socket wakes it once a whole reply can be
// there: for the second piece, it must ask for the rest only).
TEST(HostE2E, APipelinedBenchOverATcpEndGetsItsLastReplyWhenItArrivesSplit) {
    SplittingTcpDevice device;
    Host bench({"--port", device.Url(), "--timeout", "1000", "bench", "--frames", "40", "--window", "8"});
    EXPECT_EQ(bench.Exit(), 0) << bench.Output();
    const std::string out = bench.Output();
    // One request at a time, then pipelined: every reply good in both.
    const std::string whole = "40 requests, 40 replies owed: 40 good, 0 bad, 0 missing, 0 unexpected bytes";
    const auto first = out.find(whole);
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_NE(out.find(whole, first + whole.size()), std::string::npos) << out;
    EXPECT_GT(device.Split(), 0);
}
