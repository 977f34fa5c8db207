// The real zolemul over pty pairs: COM2 in a fresh directory points at the slave of a
// link pty whose master plays the host; the emulator's console is a second pty.
//
// The same tests run against the Windows build under Wine when ZOLEMUL_E2E_LOADER
// names the loader and ZOLEMUL_E2E_EXE the exe; ZOLEMUL_E2E_COM2 is then the path
// that Wine maps COM2 to, pointed at the link pty by each test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <atomic>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>

#include "tests/support/pty_link.h"

namespace {

using namespace testsupport;

std::string Env(const char* name, const std::string& fallback = "") {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : fallback;
}

bool UnderLoader() {
    return !Env("ZOLEMUL_E2E_LOADER").empty();
}

// Deadlines are generous: they only bound a failing test.
constexpr auto kStartLimit = 20s;
constexpr auto kReplyLimit = 5s;
constexpr auto kWineFloodLimit = 30s;
constexpr auto kExitLimit = 10s;
// How long silence is awaited where nothing must arrive.
constexpr auto kQuiet = 400ms;

// Console text without terminal control sequences (a console host may add some).
std::string Plain(const std::string& text) {
    static const std::regex kEscape("\x1b\\[[0-9;?]*[A-Za-z]|\x1b\\][^\x07]*\x07");
    return std::regex_replace(text, kEscape, "");
}

// What the console shows of `text`. The program's own output arrives as written,
// so it is compared byte for byte, "\r" and "\n" included. Wine's console host
// redraws its screen instead (spaces as cursor moves, "\r\n" line ends, only
// the cells that changed): there the screen is compared, the expected text put
// through the same rendering, so a status line rewritten in place still differs
// from one followed by a new line.
std::string Shown(const std::string& text) {
    return UnderLoader() ? ScreenText(text) : Plain(text);
}

class Emulator {
public:
    // Starts zolemul with COM2 pointing at the link (or at `com2Target` if given,
    // or absent when `withPort` is false).
    explicit Emulator(bool withPort = true, const std::string& com2Target = "") : console_(false) {
        const std::string target = com2Target.empty() ? link_.slavePath() : com2Target;
        if (withPort) {
            PointCom2(target);
        } else {
            RemoveCom2();
        }
        tcgetattr(ConsoleSlave(), &before_);
        linkIn_ = std::make_unique<Collector>(link_.master());
        consoleOut_ = std::make_unique<Collector>(console_.master());
        Child::Options o;
        if (UnderLoader()) {
            o.argv.push_back(Env("ZOLEMUL_E2E_LOADER"));
        }
        o.argv.push_back(Env("ZOLEMUL_E2E_EXE", ZOLEMUL_PATH));
        o.cwd = dir_.path();
        o.consolePath = console_.slavePath();
        child_ = std::make_unique<Child>(o);
    }
    ~Emulator() {
        child_.reset();
        if (!Env("ZOLEMUL_E2E_COM2").empty()) {
            RemoveCom2();
        }
    }

    std::string Com2Path() const { return Env("ZOLEMUL_E2E_COM2", dir_ / "COM2"); }
    void PointCom2(const std::string& target) const {
        RemoveCom2();
        std::filesystem::create_symlink(target, Com2Path());
    }
    void RemoveCom2() const {
        std::error_code ec;
        std::filesystem::remove(Com2Path(), ec);
    }

    // Under Wine the console host takes the terminal's input over (echo off) in a
    // thread of its own, now and then after the program's first line: a key typed
    // before that is echoed by the terminal itself. So the start waits for both.
    bool WaitStarted() {
        if (!ConsoleShows("Zol Emul Started in COM2\n", kStartLimit)) {
            return false;
        }
        const auto deadline = Clock::now() + kStartLimit;
        while (UnderLoader() && (ConsoleSettings().c_lflag & ECHO) != 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    void Send(const Bytes& bytes) { WriteAll(link_.master(), bytes); }
    // Waits for `n` bytes from the emulator in all (not only new ones).
    Bytes LinkBytes(std::size_t n, std::chrono::milliseconds limit = kReplyLimit) {
        linkIn_->waitForSize(n, limit);
        return linkIn_->bytes();
    }
    bool ConsoleShows(const std::string& text, std::chrono::milliseconds limit = kReplyLimit) {
        return consoleOut_->waitFor(
            [&](const Bytes& b) { return Shown(std::string(b.begin(), b.end())).find(Shown(text)) != std::string::npos; },
            limit);
    }
    std::string ConsoleText() const { return Shown(consoleOut_->text()); }
    // The terminal stops taking the console's text (a frozen window, Ctrl-S), and
    // takes it again; ConsoleAll is everything it took.
    void StopConsole() {
        consoleSeen_ += consoleOut_->text();
        consoleOut_.reset();
    }
    void ResumeConsole() { consoleOut_ = std::make_unique<Collector>(console_.master()); }
    // The terminal holds as much as it takes unread: whoever writes to it now waits.
    bool ConsoleFull() const {
        pollfd pfd{ConsoleSlave(), POLLOUT, 0};
        return poll(&pfd, 1, 0) == 0;
    }
    std::string ConsoleAll() const { return consoleSeen_ + (consoleOut_ ? consoleOut_->text() : ""); }
    void PressKey(char key = 'q') { WriteAll(console_.master(), Bytes{static_cast<std::uint8_t>(key)}); }
    void Type(const std::string& keys) { WriteAll(console_.master(), Bytes(keys.begin(), keys.end())); }
    // The host stops reading the link (what the emulator sends then waits in the
    // link's queue), and reads again from a fresh start.
    void StopReading() { linkIn_.reset(); }
    void ResumeReading() { linkIn_ = std::make_unique<Collector>(link_.master()); }
    // The host hangs up: its reader stops before the link's end is closed, so no
    // thread reads a descriptor number the process may hand out again.
    void HangUp() {
        StopReading();
        link_.closeMaster();
    }
    std::optional<int> Exit() { return child_->wait(kExitLimit); }
    Child& Process() { return *child_; }
    PtyPair& Link() { return link_; }
    Collector& LinkIn() { return *linkIn_; }
    const std::string& Dir() const { return dir_.path(); }

    // The console's terminal settings, as seen from the slave side.
    int ConsoleSlave() const { return console_.slave(); }
    termios ConsoleSettings() {
        termios tio{};
        tcgetattr(ConsoleSlave(), &tio);
        return tio;
    }
    const termios& SettingsBefore() const { return before_; }

private:
    TempDir dir_;
    PtyPair link_;
    PtyPair console_;
    termios before_{};
    std::unique_ptr<Collector> linkIn_;
    std::unique_ptr<Collector> consoleOut_;
    std::string consoleSeen_;
    std::unique_ptr<Child> child_;
};

TEST(EmulatorE2E, AnswersGoodRequestsAndReportsEachOnTheStatusLine) {
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted()) << emu.ConsoleText();
    EXPECT_EQ(emu.ConsoleText(), Shown("Zol Emul Started in COM2\n"));

    emu.Send(Request(0x00));
    EXPECT_EQ(Hex(emu.LinkBytes(9)), Hex({0x12, 0xFF, 0, 0, 0, 0, 0, 0x13, 0xDD}));
    EXPECT_TRUE(emu.ConsoleShows("Frame 0 receivedEA:FF, TORA:00\r")) << emu.ConsoleText();

    emu.Send(Request(0xA5, 1, 2, 3));
    EXPECT_EQ(Hex(emu.LinkBytes(18)), Hex(ReplyFor(0x00)) + Hex(ReplyFor(0xA5)));
    EXPECT_TRUE(emu.ConsoleShows("Frame 1 receivedEA:5A, TORA:A5\r")) << emu.ConsoleText();

    emu.PressKey();
    EXPECT_EQ(emu.Exit(), 0);
    EXPECT_EQ(emu.ConsoleText(),
              Shown("Zol Emul Started in COM2\nFrame 0 receivedEA:FF, TORA:00\rFrame 1 receivedEA:5A, TORA:A5\r"));
}

TEST(EmulatorE2E, BadFramesGetNoReplyNoTextAndNoCount) {
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    emu.Send({0x02, 0x00, 0x00, 0x00, 0x00, 0x04, 0xFC});  // wrong end byte
    emu.Send({0x02, 0x00, 0x00, 0x00, 0x00, 0x03, 0xFD});  // wrong checksum
    emu.Send({0x55, 0x13, 0x11, 0x00, 0xFF});              // noise without a start byte
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(emu.LinkIn().size(), 0u);
    EXPECT_EQ(emu.ConsoleText(), Shown("Zol Emul Started in COM2\n"));

    // The noise is dropped in front of the next good request, which counts as the first.
    emu.Send(Request(0x11));
    EXPECT_EQ(Hex(emu.LinkBytes(9)), Hex(ReplyFor(0x11)));
    EXPECT_TRUE(emu.ConsoleShows("Frame 0 receivedEA:EE, TORA:11\r")) << emu.ConsoleText();
    emu.Send({0x02, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00});  // wrong checksum between two good ones
    emu.Send(Request(0x22));
    EXPECT_EQ(Hex(emu.LinkBytes(18)), Hex(ReplyFor(0x11)) + Hex(ReplyFor(0x22)));
    EXPECT_TRUE(emu.ConsoleShows("Frame 1 receivedEA:DD, TORA:22\r")) << emu.ConsoleText();
}

TEST(EmulatorE2E, EveryByteValuePassesUnchangedBothWays) {
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    // Every value in every data position, flow-control and line-ending bytes included;
    // the replies carry every value as EA, and zeros and 0x13 in each.
    Bytes requests;
    Bytes expected;
    for (int v = 0; v < 256; ++v) {
        const auto b = static_cast<std::uint8_t>(v);
        const Bytes r = Request(b, static_cast<std::uint8_t>(255 - v), static_cast<std::uint8_t>(v * 7),
                                static_cast<std::uint8_t>(v ^ 0x13));
        requests.insert(requests.end(), r.begin(), r.end());
        const Bytes a = ReplyFor(b);
        expected.insert(expected.end(), a.begin(), a.end());
    }
    emu.Send(requests);
    // Wine's console host redraws every character printed, so the 512 status
    // messages (printed in the same loop passes as the replies) take seconds there.
    const std::chrono::milliseconds limit = UnderLoader() ? kWineFloodLimit : kReplyLimit;
    EXPECT_EQ(Hex(emu.LinkBytes(expected.size(), limit)), Hex(expected));
    EXPECT_TRUE(emu.ConsoleShows("Frame 255 receivedEA:00, TORA:FF\r", limit));
}

TEST(EmulatorE2E, FrameArrivingByteByByteIsAnsweredOnceComplete) {
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    const Bytes request = Request(0x3C, 0x02, 0x03, 0x02);
    for (std::size_t i = 0; i < request.size(); ++i) {
        emu.Send({request[i]});
        std::this_thread::sleep_for(30ms);
        if (i + 1 < request.size()) {
            EXPECT_EQ(emu.LinkIn().size(), 0u) << "reply before byte " << i + 1;
        }
    }
    EXPECT_EQ(Hex(emu.LinkBytes(9)), Hex(ReplyFor(0x3C)));
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(emu.LinkIn().size(), 9u);
}

TEST(EmulatorE2E, KeyEndsTheRunWithZeroAndRestoresTheTerminal) {
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    if (!UnderLoader()) {
        const termios during = emu.ConsoleSettings();
        EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u) << "keys must be read without echo";
    }
    emu.PressKey('x');
    EXPECT_EQ(emu.Exit(), 0);
    EXPECT_EQ(emu.ConsoleText(), Shown("Zol Emul Started in COM2\n"));  // the key is not echoed
    const termios after = emu.ConsoleSettings();
    EXPECT_EQ(after.c_lflag, emu.SettingsBefore().c_lflag);
    EXPECT_EQ(after.c_iflag, emu.SettingsBefore().c_iflag);
}

// The stop signals end a run busy with traffic the way a key does: exit 0, the
// terminal restored, and the port released so that a new instance opens it at once.
TEST(EmulatorE2E, StopSignalsDuringTrafficEndTheRunLikeAKey) {
    if (UnderLoader()) {
        GTEST_SKIP() << "POSIX signals reach the loader, not the Windows program";
    }
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        Emulator emu;
        ASSERT_TRUE(emu.WaitStarted());
        std::atomic<bool> stop{false};
        std::thread host([&] {
            for (std::uint8_t d1 = 0; !stop; ++d1) {
                emu.Send(Request(d1));
                std::this_thread::sleep_for(1ms);
            }
        });
        EXPECT_TRUE(emu.ConsoleShows("Frame 20 received")) << strsignal(sig);
        emu.Process().signal(sig);
        const std::optional<int> status = emu.Exit();
        stop = true;
        host.join();
        EXPECT_EQ(status, 0) << strsignal(sig);
        EXPECT_EQ(emu.ConsoleSettings().c_lflag, emu.SettingsBefore().c_lflag) << strsignal(sig);

        Emulator next(true, emu.Link().slavePath());
        ASSERT_TRUE(next.WaitStarted()) << strsignal(sig) << ": " << next.ConsoleText();
        // Requests left queued by the first run are answered first; ours comes last.
        emu.Send(Request(0xC3));
        const Bytes reply = ReplyFor(0xC3);
        EXPECT_TRUE(emu.LinkIn().waitFor(
            [&](const Bytes& b) { return b.size() >= reply.size() && std::equal(reply.begin(), reply.end(), b.end() - 9); },
            kReplyLimit))
            << strsignal(sig);
        next.PressKey();
        EXPECT_EQ(next.Exit(), 0);
    }
}

TEST(EmulatorE2E, MissingPortExitsWithMinusOneSilently) {
    if (!UnderLoader() && access("/dev/ttyS1", F_OK) == 0) {
        GTEST_SKIP() << "this machine has /dev/ttyS1, the fallback for COM2";
    }
    Emulator emu(false);
    EXPECT_EQ(emu.Exit(), 255);
    EXPECT_EQ(emu.ConsoleText(), "");
}

// COM2 that is not a terminal: a regular file or a directory. The emulator exits
// with -1 without a word and leaves the file as it was, unlocked.
TEST(EmulatorE2E, PortThatCannotBeConfiguredExitsWithMinusOneSilently) {
    if (UnderLoader()) {
        GTEST_SKIP() << "Wine maps COM2 to a device path only";
    }
    TempDir other;
    const std::string content = "not a terminal";
    { std::ofstream(other / "plain") << content; }
    std::filesystem::create_directory(other / "dir");
    for (const std::string& target : {other / "plain", other / "dir"}) {
        Emulator emu(true, target);
        EXPECT_EQ(emu.Exit(), 255) << target;
        EXPECT_EQ(emu.ConsoleText(), "") << target;
        const int fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << target << " left locked";
        close(fd);
    }
    std::ifstream in(other / "plain");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), content);
    EXPECT_TRUE(std::filesystem::is_empty(other / "dir"));
}

TEST(EmulatorE2E, SecondInstanceOnAHeldPortFailsWhileTheFirstKeepsWorking) {
    if (UnderLoader()) {
        GTEST_SKIP() << "Wine does not refuse a second exclusive open of a serial port";
    }
    Emulator first;
    ASSERT_TRUE(first.WaitStarted());
    // Where the machine has no native device for port 2 and the test may make one,
    // a free pty stands in for it: a busy COM2 must not send the emulator there.
    PtyPair native;
    const bool madeNative = access("/dev/ttyS1", F_OK) != 0 && symlink(native.slavePath().c_str(), "/dev/ttyS1") == 0;
    Emulator second(true, first.Link().slavePath());
    EXPECT_EQ(second.Exit(), 255);
    EXPECT_EQ(second.ConsoleText(), "");
    if (madeNative) {
        unlink("/dev/ttyS1");
    }

    first.Send(Request(0x42));
    EXPECT_EQ(Hex(first.LinkBytes(9)), Hex(ReplyFor(0x42)));
    first.PressKey();
    EXPECT_EQ(first.Exit(), 0);
}

// Over a second, every thread beside the polling main thread stays asleep: the
// monitor takes next to no CPU time and no more than a few wake-ups. A sanitizer
// runtime keeps a thread of its own that wakes now and then, so any other thread
// is held to a bound that still catches one that spins (it would take most of the
// second).
void ExpectOtherThreadsAsleep(Child& child, const char* when) {
    const auto before = child.threadUsage();
    std::this_thread::sleep_for(1s);
    bool monitorSeen = false;
    for (const auto& [tid, t] : child.threadUsage()) {
        if (t.main) {
            continue;
        }
        const auto was = before.find(tid);
        const Child::ThreadUsage start = was != before.end() ? was->second : Child::ThreadUsage{};
        const bool monitor = t.name == "com monitor";
        EXPECT_LT(t.cpu - start.cpu, monitor ? 3ms : 50ms) << when << ": thread " << t.name;
        if (monitor) {
            monitorSeen = true;
            EXPECT_LE(t.runs - start.runs, 3) << when;
        }
    }
    EXPECT_TRUE(monitorSeen) << when;
}

// The host hangs up, or the port goes away altogether (link removed, device closed):
// the emulator goes on polling until a key ends it with 0, and the monitor sleeps.
TEST(EmulatorE2E, HostHangUpOrVanishedPortNeitherEndsNorSpinsTheMonitor) {
    for (const bool vanish : {false, true}) {
        Emulator emu;
        ASSERT_TRUE(emu.WaitStarted());
        emu.Send(Request(0x01));
        ASSERT_EQ(emu.LinkBytes(9).size(), 9u);
        if (vanish) {
            emu.RemoveCom2();
        }
        emu.HangUp();
        std::this_thread::sleep_for(200ms);
        ASSERT_TRUE(emu.Process().running());
        if (!UnderLoader()) {
            ExpectOtherThreadsAsleep(emu.Process(), vanish ? "after the port vanished" : "after a hang-up");
        }
        emu.PressKey();
        EXPECT_EQ(emu.Exit(), 0);
    }
}

// How long a key takes to end an idle run, from the press to the exit as the test
// sees it. Under Wine it is mostly Wine's: the key reaches the program through
// Wine's console host, and the process's end goes through Wine's server, some
// hundreds of ms together on a busy machine (the program's own part, from seeing the
// key to its return, is some tens of ms); natively it is a few ms.
std::chrono::milliseconds IdleKeyToExit() {
    Emulator emu;
    if (!emu.WaitStarted()) {
        ADD_FAILURE() << "the emulator did not start: " << emu.ConsoleText();
        return {};
    }
    const auto pressed = Clock::now();
    emu.PressKey();
    EXPECT_EQ(emu.Exit(), 0);
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pressed);
}

// Whole replies, each right for some request: a frame cut on the link shows here.
void ExpectWholeReplies(const Bytes& got, const char* when) {
    ASSERT_EQ(got.size() % 9, 0u) << when;
    for (std::size_t i = 0; i < got.size(); i += 9) {
        const Bytes frame(got.begin() + static_cast<std::ptrdiff_t>(i), got.begin() + static_cast<std::ptrdiff_t>(i) + 9);
        ASSERT_EQ(Hex(frame), Hex(ReplyFor(static_cast<std::uint8_t>(frame[1] ^ 0xFF)))) << when << ", reply " << i / 9;
    }
}

// One ping: the request for d1, then its reply within `limit`; false when none came.
// `replies` counts the replies the host has had so far.
bool Ping(Emulator& emu, std::uint8_t d1, std::size_t* replies, std::chrono::milliseconds limit) {
    emu.Send(Request(d1));
    ++*replies;
    return emu.LinkIn().waitForSize(*replies * 9, limit);
}

// The console's stream as texts: the start-up line, then one text per frame, each
// "Frame N receivedEA:XX, TORA:YY\r". Checks that each is whole and names its own
// frame (request N had D1 = N & FF), in order; returns the frame numbers. A run
// that ended while the terminal took nothing may leave the start of one last text
// that the terminal took in part (the rest is dropped at the end): `cutEnd` allows it.
std::vector<unsigned> FrameTexts(const std::string& all, bool cutEnd = false) {
    const std::string start = "Zol Emul Started in COM2\n";
    EXPECT_EQ(all.compare(0, start.size(), start), 0) << "the start-up line is missing";
    std::vector<unsigned> frames;
    static const std::regex kText("Frame ([0-9]+) receivedEA:([0-9A-F]{2}), TORA:([0-9A-F]{2})\r");
    std::size_t at = start.size();
    for (std::smatch m; at < all.size(); at += static_cast<std::size_t>(m.length(0))) {
        const std::string rest = all.substr(at, 64);
        if (!std::regex_search(rest, m, kText, std::regex_constants::match_continuous)) {
            if (cutEnd && rest.size() < 40 && std::string("Frame ").compare(0, std::min<std::size_t>(rest.size(), 6), rest, 0, 6) == 0 &&
                rest.find('\r') == std::string::npos) {
                break;  // the piece the terminal took of the last text
            }
            ADD_FAILURE() << "not a whole frame text at byte " << at << ": " << Hex(Bytes(rest.begin(), rest.end()));
            break;
        }
        const unsigned n = static_cast<unsigned>(std::stoul(m[1]));
        const unsigned tora = static_cast<unsigned>(std::stoul(m[3], nullptr, 16));
        EXPECT_EQ(tora, n & 0xFF) << "frame " << n;
        EXPECT_EQ(static_cast<unsigned>(std::stoul(m[2], nullptr, 16)), tora ^ 0xFF) << "frame " << n;
        EXPECT_TRUE(frames.empty() || n > frames.back()) << "frame " << n << " after " << frames.back();
        frames.push_back(n);
    }
    return frames;
}

// A terminal that stops taking text never holds up the link or the key: the host
// pings without pause for 3 s and every request is answered in time; once the
// terminal reads again, the latest frame shows within a second; stalled again, a key
// still ends the run at once (within 0.5 s more than a key takes to end an idle run
// in the same test: under Wine most of that is Wine's console host). What reached the terminal is whole texts in order,
// with some from the middle dropped while it took nothing.
//
// Under Wine the program's console is Wine's console host, which writes to the
// terminal for it and stops altogether while the terminal takes nothing, key input
// included: there a key reaches the program once the terminal reads again, and must
// end the run at once then. The host redraws its screen rather than passing the text
// on, so what reached the terminal is checked as the screen it leaves.
TEST(EmulatorE2E, StalledTerminalNeverHoldsUpTheLinkOrTheKey) {
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    std::size_t replies = 0;
    // Pings without pause, each request answered within 0.5 s, for at least `least`
    // and on until the terminal is seen full (Wine's console host sends it only what
    // changed on its screen, so it fills slowly there). A full pty can show room for
    // a moment while the kernel moves its bytes along, so fullness is what was seen.
    bool full = false;
    const auto pingStalled = [&](std::chrono::seconds least) {
        full = false;
        for (const auto start = Clock::now();
             Clock::now() - start < least || (!full && Clock::now() - start < least + 20s);) {
            if (!Ping(emu, static_cast<std::uint8_t>(replies), &replies, 500ms)) {
                return false;
            }
            full = emu.ConsoleFull();
        }
        return true;
    };
    emu.StopConsole();
    ASSERT_TRUE(pingStalled(3s)) << "no reply within 0.5 s to request " << replies - 1
                                 << " while the terminal took nothing";
    const std::size_t stalled = replies;
    ASSERT_TRUE(full) << "the terminal never filled: the test stalled nothing";

    emu.ResumeConsole();
    const std::string latest = "Frame " + std::to_string(stalled - 1) + " received";
    EXPECT_TRUE(emu.ConsoleShows(latest, 1s)) << "the latest frame did not show within 1 s";

    emu.StopConsole();
    ASSERT_TRUE(pingStalled(1s)) << "no reply within 0.5 s to request " << replies - 1;
    ASSERT_TRUE(full) << "the terminal never filled again";
    const auto pressed = Clock::now();
    emu.PressKey();
    if (UnderLoader()) {
        emu.ResumeConsole();  // the key waits in Wine's console host until then
    }
    const std::optional<int> status = emu.Exit();
    const auto took = Clock::now() - pressed;
    EXPECT_EQ(status, 0);
    const std::chrono::milliseconds idle = IdleKeyToExit();
    EXPECT_LT(took, idle + 500ms) << "the run ended " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                                  << " ms after the key, an idle run " << idle.count() << " ms after it";
    EXPECT_EQ(emu.ConsoleSettings().c_lflag, emu.SettingsBefore().c_lflag);

    if (!UnderLoader()) {
        emu.ResumeConsole();
    }
    std::this_thread::sleep_for(kQuiet);
    if (UnderLoader()) {
        EXPECT_TRUE(std::regex_match(ScreenText(emu.ConsoleAll()),
                                     std::regex("Zol Emul Started in COM2\nFrame [0-9]+ receivedEA:[0-9A-F]{2}, TORA:[0-9A-F]{2}")))
            << ScreenText(emu.ConsoleAll());
        return;
    }
    const std::vector<unsigned> frames = FrameTexts(emu.ConsoleAll(), true);
    ASSERT_FALSE(frames.empty());
    EXPECT_LT(frames.size(), stalled) << "nothing was dropped while the terminal took nothing";
}

// With the terminal reading, a frame's status text follows its reply at once, not
// after a batch: the median over 50 round trips stays far below a batching delay.
TEST(EmulatorE2E, StatusTextFollowsItsReplyAtOnce) {
    if (UnderLoader()) {
        GTEST_SKIP() << "under Wine the terminal is redrawn by Wine's console host on a schedule of its own "
                        "(some 9 ms behind): it measures the host, not the program";
    }
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    std::vector<double> lagMs;
    std::size_t replies = 0;
    for (unsigned i = 0; i < 50; ++i) {
        ASSERT_TRUE(Ping(emu, static_cast<std::uint8_t>(i), &replies, kReplyLimit));
        const auto replied = Clock::now();
        ASSERT_TRUE(emu.ConsoleShows("Frame " + std::to_string(i) + " received", kReplyLimit));
        lagMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - replied).count());
    }
    std::sort(lagMs.begin(), lagMs.end());
    EXPECT_LT(lagMs[lagMs.size() / 2], 5.0) << "median lag of the status text behind its reply, ms";
}

// A host that keeps sending but stops reading fills the link toward it. The
// emulator goes on answering (and counting) without waiting for the line; the
// host, once it reads again, finds whole replies only, all there without waiting
// for another request, and a new request is answered at once. A key pressed while
// the link is stuck ends the run at once: within 0.5 s more than a key takes to end
// an idle run on the same machine in the same test (which under Wine is mostly the
// time Wine's console host takes to pass the key on).
TEST(EmulatorE2E, StalledHostGetsWholeRepliesAndAKeyStillEndsTheRun) {
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    emu.StopReading();
    // Far more replies than the link holds, sent in bursts as a busy host would.
    auto flood = [&](int first, int count) {
        for (int i = first; i < first + count; i += 100) {
            Bytes burst;
            for (int j = i; j < i + 100; ++j) {
                const Bytes r = Request(static_cast<std::uint8_t>(j));
                burst.insert(burst.end(), r.begin(), r.end());
            }
            emu.Send(burst);
        }
    };
    const std::chrono::milliseconds limit = 20s;
    flood(0, 20000);
    ASSERT_TRUE(emu.ConsoleShows("Frame 19999 received", limit)) << "the emulator stopped answering";

    emu.ResumeReading();
    std::this_thread::sleep_for(kQuiet);
    // What the emulator held for the line went out by itself as the line freed: the
    // reply to a new request comes next.
    const std::size_t drained = emu.LinkIn().size();
    emu.Send(Request(0x5A));
    ASSERT_TRUE(emu.LinkIn().waitForSize(drained + 9, kReplyLimit));
    const Bytes got = emu.LinkIn().bytes();
    EXPECT_EQ(Hex(Bytes(got.begin() + static_cast<std::ptrdiff_t>(drained), got.end())), Hex(ReplyFor(0x5A)))
        << "replies held for the line waited for the next write";
    ExpectWholeReplies(got, "after the stall");
    // The first replies were written while the link had room: all there, in order.
    ASSERT_GT(got.size(), 9u * 256);
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(got[static_cast<std::size_t>(i) * 9 + 1], static_cast<std::uint8_t>(i ^ 0xFF)) << "reply " << i;
    }

    emu.StopReading();
    flood(0, 20000);
    ASSERT_TRUE(emu.ConsoleShows("Frame 40000 received", limit));
    std::atomic<bool> stop{false};
    std::thread host([&] {
        for (int i = 0; !stop; ++i) {
            emu.Send(Request(static_cast<std::uint8_t>(i)));
            std::this_thread::sleep_for(1ms);
        }
    });
    const auto pressed = Clock::now();
    emu.PressKey();
    const std::optional<int> status = emu.Exit();
    const auto took = Clock::now() - pressed;
    stop = true;
    host.join();
    EXPECT_EQ(status, 0);
    // Waiting on the stuck line took seconds; the key is seen in the next pass.
    const std::chrono::milliseconds idle = IdleKeyToExit();
    EXPECT_LT(took, idle + 500ms) << "the run ended " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                                  << " ms after the key, an idle run " << idle.count() << " ms after it";
}

// A host that pipelines its requests (the next one sent before the last reply is
// read) while a key ends the run: what reached the host is whole replies only, the
// last one too, each in turn. (Windows cancels a thread's I/O when the thread ends;
// held replies are written by the port's monitor thread, which the close stops.)
TEST(EmulatorE2E, PipelinedHostEndedByAKeyGetsEveryReplyWhole) {
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    std::atomic<bool> stop{false};
    std::thread host([&] {
        Bytes burst;
        for (int j = 0; j < 50; ++j) {
            const Bytes r = Request(static_cast<std::uint8_t>(j));
            burst.insert(burst.end(), r.begin(), r.end());
        }
        // Up to two bursts unanswered: the link never fills, so no write here waits
        // on an emulator that has ended.
        for (std::size_t sent = 0; !stop;) {
            if (sent - emu.LinkIn().size() / 9 <= 50) {
                emu.Send(burst);
                sent += 50;
            } else {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    // The replies tell, not the status texts (some of those are dropped while Wine's
    // console host falls behind).
    EXPECT_TRUE(emu.LinkIn().waitForSize(9 * 500, kWineFloodLimit)) << "the emulator stopped answering";
    emu.PressKey();
    const std::optional<int> status = emu.Exit();
    stop = true;
    host.join();
    EXPECT_EQ(status, 0);
    std::this_thread::sleep_for(kQuiet);  // what the line still carried
    const Bytes got = emu.LinkIn().bytes();
    ASSERT_GE(got.size(), 9u * 500);
    ExpectWholeReplies(got, "at the key");
    for (std::size_t i = 0; i < got.size(); i += 9) {
        ASSERT_EQ(got[i + 1], static_cast<std::uint8_t>((i / 9 % 50) ^ 0xFF)) << "reply " << i / 9 << " out of turn";
    }
}

// A key that the terminal sends as several bytes (an arrow key: ESC [ A; a
// character of two UTF-8 bytes) is taken whole: nothing of it is left for the
// next program that reads the terminal.
TEST(EmulatorE2E, MultiByteKeyIsTakenWhole) {
    if (UnderLoader()) {
        GTEST_SKIP() << "the Windows console hands keys over whole by itself";
    }
    for (const std::string key : {"\x1b[A", "\x1b[15~", "\xc3\xa9"}) {
        Emulator emu;
        ASSERT_TRUE(emu.WaitStarted());
        emu.Type(key);
        EXPECT_EQ(emu.Exit(), 0);
        // What is left in the terminal's input shows once it is read raw.
        termios tio = emu.ConsoleSettings();
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 2;  // 0.2 s
        tcsetattr(emu.ConsoleSlave(), TCSANOW, &tio);
        char left[16];
        EXPECT_EQ(read(emu.ConsoleSlave(), left, sizeof left), 0) << Hex(Bytes(key.begin(), key.end()));
    }
}

TEST(EmulatorE2E, MonitorSleepsWhileAnIncompleteFrameWaits) {
    if (UnderLoader()) {
        // wine_tests (serial_probe.exe) check the Windows monitor under Wine from inside the program.
        GTEST_SKIP() << "thread times are read from /proc, where the loader's process is not the Windows program";
    }
    Emulator emu;
    ASSERT_TRUE(emu.WaitStarted());
    // Three bytes are not a frame: they stay queued and the monitor must not spin on them.
    emu.Send({0x02, 0x00, 0x00});
    std::this_thread::sleep_for(100ms);
    ExpectOtherThreadsAsleep(emu.Process(), "with three bytes waiting");
    emu.Send({0x00, 0x00, 0x03, 0xFC});
    EXPECT_EQ(Hex(emu.LinkBytes(9)), Hex(ReplyFor(0x00)));
}

}  // namespace

namespace {

// Standard input that is not a terminal: each byte is a key; its end is none.
TEST(EmulatorE2E, NonTerminalInputEndsOnAByteButNotAtItsEnd) {
    if (UnderLoader()) {
        GTEST_SKIP() << "the Windows console reads keys from a console only";
    }
    for (const bool sendByte : {false, true}) {
        TempDir dir;
        PtyPair link;
        std::filesystem::create_symlink(link.slavePath(), dir / "COM2");
        int in[2];
        int out[2];
        ASSERT_EQ(pipe2(in, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        Collector linkIn(link.master());
        Collector output(out[0]);
        Child::Options o;
        o.argv = {ZOLEMUL_PATH};
        o.cwd = dir.path();
        o.stdinFd = in[0];
        o.stdoutFd = out[1];
        Child child(o);
        close(in[0]);
        close(out[1]);
        ASSERT_TRUE(output.waitForText("Zol Emul Started in COM2\n", kStartLimit));
        if (sendByte) {
            WriteAll(in[1], {'\n'});
            EXPECT_EQ(child.wait(kExitLimit), 0);
            close(in[1]);
            continue;
        }
        close(in[1]);  // end of input
        WriteAll(link.master(), Request(0x80));
        EXPECT_TRUE(linkIn.waitForSize(9, kReplyLimit));
        EXPECT_TRUE(output.waitForText("Frame 0 receivedEA:7F, TORA:80\r", kReplyLimit));
        EXPECT_TRUE(child.running());
        child.signal(SIGTERM);
        EXPECT_EQ(child.wait(kExitLimit), 0);
    }
}

}  // namespace

namespace {

// Unattended runs: standard input closed or /dev/null, standard output closed or a
// pipe nobody reads. The emulator answers every request, puts nothing else on the
// link, and runs until SIGTERM ends it with 0.
TEST(EmulatorE2E, UnattendedRunsWithStandardStreamsClosedOrGone) {
    if (UnderLoader()) {
        GTEST_SKIP() << "POSIX standard streams and signals reach the loader, not the Windows program";
    }
    enum class Out { Closed, DeadPipe };
    const struct {
        bool stdinClosed;
        Out out;
        const char* name;
    } cases[] = {{true, Out::DeadPipe, "stdin closed"},
                 {false, Out::Closed, "stdout closed"},
                 {true, Out::Closed, "stdin and stdout closed"},
                 {false, Out::DeadPipe, "stdout a pipe nobody reads"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        PtyPair link;
        std::filesystem::create_symlink(link.slavePath(), dir / "COM2");
        const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        close(out[0]);  // nobody will ever read what the emulator prints
        Collector linkIn(link.master());
        Child::Options o;
        o.argv = {ZOLEMUL_PATH};
        o.cwd = dir.path();
        o.stdinFd = c.stdinClosed ? Child::kClosed : devNull;
        o.stdoutFd = c.out == Out::Closed ? Child::kClosed : out[1];
        Child child(o);
        close(devNull);
        close(out[1]);

        Bytes expected;
        for (std::uint8_t d1 : {0x10, 0x02, 0x0A, 0x71}) {
            WriteAll(link.master(), Request(d1));
            const Bytes reply = ReplyFor(d1);
            expected.insert(expected.end(), reply.begin(), reply.end());
            EXPECT_TRUE(linkIn.waitForSize(expected.size(), expected.size() == reply.size() ? kStartLimit : kReplyLimit));
            std::this_thread::sleep_for(50ms);
        }
        std::this_thread::sleep_for(kQuiet);
        EXPECT_EQ(Hex(linkIn.bytes()), Hex(expected));
        EXPECT_TRUE(child.running());
        child.signal(SIGTERM);
        EXPECT_EQ(child.wait(kExitLimit), 0);
    }
}

}  // namespace
