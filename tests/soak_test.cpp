// Soak: zolhost's benchmark drives the real zolemul over a virtual link with line
// noise and bad frames before one request in ten. Every reply owed must arrive and
// be right, no bad frame may get one, and the emulator's resident memory must be the
// same at the end as once the traffic was under way.
//
// ZOL_SOAK_FRAMES sets the number of requests per benchmark phase (two phases:
// one at a time, then pipelined); the default keeps the run to seconds.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>

#include "tests/support/pty_link.h"

namespace {

using namespace testsupport;

constexpr unsigned long kDefaultFrames = 100000;

// A sanitizer build's runtime grows memory of its own (fake stacks, shadow) as the
// program runs, so its resident size says nothing about the emulator's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#  else
constexpr bool kSanitized = false;
#  endif
#else
constexpr bool kSanitized = false;
#endif

unsigned long SoakFrames() {
    const char* v = std::getenv("ZOL_SOAK_FRAMES");
    return v != nullptr && *v != '\0' ? std::stoul(v) : kDefaultFrames;
}

// A field of /proc/<pid>/<file> ("VmRSS:" in status, "wchar:" in io); -1 if gone.
long ProcField(pid_t pid, const char* file, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size(), field) == 0) {
            return std::stol(line.substr(field.size()));
        }
    }
    return -1;
}

// Every "key": number pair of one benchmark phase in zolhost's JSON report.
long PhaseCount(const std::string& json, const std::string& phase, const std::string& key) {
    const std::regex re("\"" + phase + "\": \\{[^}]*\"" + key + "\": ([0-9]+)");
    std::smatch m;
    return std::regex_search(json, m, re) ? std::stol(m[1]) : -1;
}

TEST(Soak, NoiseAndBadFramesLoseNothingAndMemoryStaysFlat) {
    const unsigned long frames = SoakFrames();
    TempDir dir;
    TempDir work;
    const std::string report = work / "report.json";
    const int reportFd = open(report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(reportFd, 0);
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(devNull, 0);

    Child::Options h;
    h.argv = {ZOLHOST_PATH, "--virtual", dir.path(), "--wait", "30", "bench", "--frames", std::to_string(frames),
              "--noise", "10", "--seed", "20261208", "--json"};
    h.stdinFd = devNull;
    h.stdoutFd = reportFd;
    Child host(h);
    close(reportFd);
    const auto linkDeadline = Clock::now() + 20s;
    while (!std::filesystem::is_symlink(dir / "COM2") && host.running() && Clock::now() < linkDeadline) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(std::filesystem::is_symlink(dir / "COM2")) << "zolhost made no virtual link";

    Child::Options e;
    e.argv = {ZOLEMUL_PATH};
    e.cwd = dir.path();
    e.stdinFd = devNull;  // unattended: runs until told to stop
    e.stdoutFd = devNull;
    Child emu(e);
    close(devNull);

    // The traffic is under way once the emulator has written some thousands of frames.
    const auto hostDeadline = Clock::now() + std::chrono::milliseconds(frames * 2) + 60s;
    while (ProcField(emu.pid(), "io", "wchar:") < 64 * 1024 && host.running() && Clock::now() < hostDeadline) {
        std::this_thread::sleep_for(1ms);
    }
    const long rssStart = ProcField(emu.pid(), "status", "VmRSS:");
    long rssEnd = rssStart;
    long rssMax = rssStart;
    while (host.running() && Clock::now() < hostDeadline) {
        const long rss = ProcField(emu.pid(), "status", "VmRSS:");
        if (rss > 0 && emu.running()) {
            rssEnd = rss;
            rssMax = std::max(rssMax, rss);
        }
        std::this_thread::sleep_for(20ms);
    }
    const std::optional<int> hostStatus = host.wait(0ms);
    ASSERT_TRUE(emu.running()) << "the emulator ended during the soak";
    emu.signal(SIGTERM);
    EXPECT_EQ(emu.wait(10s), 0);

    std::ifstream in(report);
    const std::string json((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(hostStatus, 0) << json;
    for (const char* phase : {"ping_pong", "pipelined"}) {
        SCOPED_TRACE(phase);
        const long owed = PhaseCount(json, phase, "owed");
        EXPECT_EQ(PhaseCount(json, phase, "requests"), static_cast<long>(frames));
        EXPECT_GT(owed, static_cast<long>(frames * 8 / 10));  // the noise spoils some requests, not most
        EXPECT_GT(PhaseCount(json, phase, "bad_frames"), 0);
        EXPECT_EQ(PhaseCount(json, phase, "good"), owed);
        EXPECT_EQ(PhaseCount(json, phase, "missing"), 0);
        EXPECT_EQ(PhaseCount(json, phase, "bad"), 0);
        EXPECT_EQ(PhaseCount(json, phase, "unexpected_bytes"), 0);
        std::cout << phase << ": " << PhaseCount(json, phase, "requests") << " requests, " << owed << " owed, "
                  << PhaseCount(json, phase, "good") << " good, " << PhaseCount(json, phase, "bad_frames")
                  << " bad frames\n";
    }
    std::cout << "zolemul RSS: " << rssStart << " kB once under way, " << rssEnd << " kB at the end, " << rssMax
              << " kB at most\n";
    ASSERT_GT(rssStart, 0);
    if (kSanitized) {
        std::cout << "(resident memory not checked: sanitizer build)\n";
        return;
    }
    // Flat: a loop that keeps anything per frame would grow by far more over the run.
    EXPECT_LE(rssEnd - rssStart, 64) << "kB grown";
}

// A host that sends requests at full speed and reads ~20 KB/s (100 bytes every
// 5 ms): the line toward it never empties, so the port layer holds replies and
// drops them whole for the whole run. Its memory must not grow with the bytes
// that pass, and the host reads whole replies only. ZOL_SOAK_SECONDS sets the
// length of the run (default 10).
TEST(Soak, LineThatNeverEmptiesKeepsMemoryFlat) {
    const char* v = std::getenv("ZOL_SOAK_SECONDS");
    const auto seconds = std::chrono::seconds(v != nullptr && *v != '\0' ? std::stoul(v) : 10);
    TempDir dir;
    PtyPair link;
    ASSERT_EQ(symlink(link.slavePath().c_str(), (dir / "COM2").c_str()), 0);
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(devNull, 0);
    Child::Options e;
    e.argv = {ZOLEMUL_PATH};
    e.cwd = dir.path();
    e.stdinFd = devNull;
    e.stdoutFd = devNull;
    Child emu(e);
    close(devNull);

    ASSERT_EQ(fcntl(link.master(), F_SETFL, fcntl(link.master(), F_GETFL) | O_NONBLOCK), 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        Bytes burst;
        for (int i = 0; i < 64; ++i) {
            const Bytes r = Request(static_cast<std::uint8_t>(i));
            burst.insert(burst.end(), r.begin(), r.end());
        }
        while (!stop.load()) {
            // What the link takes now; a request cut short is a bad frame, which
            // the emulator drops, and the host goes on.
            [[maybe_unused]] const ssize_t n = write(link.master(), burst.data(), burst.size());
            std::this_thread::sleep_for(1ms);
        }
    });
    Bytes got;
    long rssStart = -1;
    const auto tStart = Clock::now();
    const auto tEnd = tStart + seconds;
    while (Clock::now() < tEnd && emu.running()) {
        std::uint8_t buf[100];
        const ssize_t n = read(link.master(), buf, sizeof buf);
        if (n > 0) {
            got.insert(got.end(), buf, buf + n);
        }
        if (rssStart < 0 && Clock::now() - tStart >= 2s) {
            rssStart = ProcField(emu.pid(), "status", "VmRSS:");
        }
        std::this_thread::sleep_for(5ms);
    }
    const long rssEnd = ProcField(emu.pid(), "status", "VmRSS:");
    stop.store(true);
    writer.join();
    ASSERT_TRUE(emu.running()) << "the emulator ended during the run";
    emu.signal(SIGTERM);
    EXPECT_EQ(emu.wait(10s), 0);

    ASSERT_GT(got.size(), 9u * 1000);
    const std::size_t whole = got.size() / 9 * 9;  // the last read may end inside a reply
    for (std::size_t at = 0; at < whole; at += 9) {
        const Bytes reply(got.begin() + static_cast<long>(at), got.begin() + static_cast<long>(at) + 9);
        ASSERT_EQ(reply, ReplyFor(static_cast<std::uint8_t>(reply[1] ^ 0xFF))) << "at byte " << at;
    }
    std::cout << got.size() << " bytes read in " << seconds.count() << " s; zolemul RSS " << rssStart
              << " kB after 2 s, " << rssEnd << " kB at the end\n";
    ASSERT_GT(rssStart, 0);
    if (kSanitized) {
        std::cout << "(resident memory not checked: sanitizer build)\n";
        return;
    }
    EXPECT_LE(rssEnd - rssStart, 64) << "kB grown";
}

}  // namespace
