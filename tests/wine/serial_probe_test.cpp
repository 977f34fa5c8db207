// The serial port layer's Windows build under Wine, on pty pairs: the probe
// (serial_probe.exe) opens one pty by path (ComOpenDevice) and another as COM2
// (ComOpen), asks for the bytes its checks need, and reports each check; this side
// plays the other end of both lines and checks what arrives there and what the
// device-path open left of the line settings.
//
// Runs when ZOLEMUL_E2E_LOADER names Wine's loader, ZOLEMUL_E2E_PROBE the probe exe
// and ZOLEMUL_E2E_COM2 the path Wine maps COM2 to.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>

#include "tests/support/pty_link.h"

namespace {

using namespace testsupport;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// The Windows name of a Unix path (Wine's drive Z: is the Unix root).
std::string WinePath(std::string path) {
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return "Z:" + path;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    if (!text.empty() && text.back() != '\n' && !lines.empty()) {
        lines.pop_back();  // not complete yet
    }
    return lines;
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

// What each side of the probe writes: 'A' (from ComWriteByte(0x141)), then a block
// of 3000 letters.
Bytes ExpectedWrites() {
    Bytes b = {'A'};
    for (int i = 0; i < 3000; ++i) {
        b.push_back(static_cast<std::uint8_t>('a' + i % 26));
    }
    return b;
}

// The line of the probe's output that reports `check`, or "" if there is none.
std::string Report(const std::vector<std::string>& lines, const std::string& check) {
    for (const std::string& l : lines) {
        std::istringstream in(l);
        std::string verdict;
        std::string name;
        in >> verdict >> name;
        if ((verdict == "ok" || verdict == "FAIL") && name == check) {
            return l;
        }
    }
    return "";
}

TEST(SerialProbeUnderWine, FurtherOperationsAndModemLinesOnPtys) {
    const std::string loader = Env("ZOLEMUL_E2E_LOADER");
    const std::string probe = Env("ZOLEMUL_E2E_PROBE");
    const std::string com2 = Env("ZOLEMUL_E2E_COM2");
    if (loader.empty() || probe.empty() || com2.empty()) {
        GTEST_SKIP() << "the probe is a Windows program: it runs under Wine only "
                        "(ZOLEMUL_E2E_LOADER, ZOLEMUL_E2E_PROBE, ZOLEMUL_E2E_COM2)";
    }
    PtyPair dev;
    PtyPair port;
    PtyPair held;  // its other end reads only when the probe says "drain"
    std::unique_ptr<Collector> heldIn;
    std::size_t heldWritten = 0;

    // Settings a pty keeps (it forces 8 data bits, no parity): 9600 baud, 2 stop bits.
    termios tio{};
    ASSERT_EQ(tcgetattr(dev.slave(), &tio), 0);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(dev.slave(), TCSANOW, &tio), 0);
    termios before{};
    tcgetattr(dev.slave(), &before);

    std::error_code ec;
    std::filesystem::remove(com2, ec);
    std::filesystem::create_symlink(port.slavePath(), com2);

    Collector devIn(dev.master());
    Collector portIn(port.master());
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Collector report(out[0]);
    Child::Options o;
    o.argv = {loader, probe, WinePath(dev.slavePath()), "2", WinePath(held.slavePath())};
    o.stdinFd = devNull;
    o.stdoutFd = out[1];
    Child child(o);
    close(out[1]);
    close(devNull);

    // Serve the probe's requests until it is done.
    std::size_t served = 0;
    bool settingsChecked = false;
    const auto deadline = Clock::now() + Scaled(90s);
    std::vector<std::string> lines;
    while (Clock::now() < deadline) {
        report.waitFor([&](const Bytes& b) { return Lines(std::string(b.begin(), b.end())).size() > served; },
                       1s);
        lines = Lines(report.text());
        for (; served < lines.size(); ++served) {
            std::istringstream in(lines[served]);
            std::string word;
            std::string which;
            std::string hex;
            in >> word >> which >> hex;
            if (word == "drain" && !heldIn) {
                heldWritten = std::stoul(which);
                heldIn = std::make_unique<Collector>(held.master());
            } else if (word == "want") {
                WriteAll(which == "dev" ? dev.master() : port.master(), FromHex(hex));
            } else if (word == "ok" && which == "dev.settings") {
                // Opened by path and queried, nothing applied: the line is as it was.
                termios now{};
                tcgetattr(dev.slave(), &now);
                EXPECT_EQ(cfgetospeed(&now), cfgetospeed(&before));
                EXPECT_EQ(now.c_cflag, before.c_cflag);
                EXPECT_EQ(now.c_iflag, before.c_iflag);
                EXPECT_EQ(now.c_lflag, before.c_lflag);
                settingsChecked = true;
            }
        }
        if (!lines.empty() && lines.back().rfind("done ", 0) == 0) {
            break;
        }
        if (!child.running()) {
            lines = Lines(report.text());
            break;
        }
    }
    const std::string all = report.text();
    // The monitor's cost under Wine, for the log.
    std::cout << Report(lines, "port.monitor_sleeps") << "\n" << Report(lines, "port.handler_told") << "\n"
              << Report(lines, "held.write_held") << "\n" << Report(lines, "held.room_event") << "\n";
    ASSERT_FALSE(lines.empty()) << all;
    EXPECT_EQ(lines.back().rfind("done ", 0), 0u) << all;
    EXPECT_EQ(child.wait(20s), 0) << all;
    EXPECT_TRUE(settingsChecked) << all;

    // Every check ran and passed.
    for (const char* side : {"dev", "port"}) {
        for (const char* check :
             {"open", "five_waiting", "read_3_of_5", "read_0", "read_more_than_waiting", "next_byte_after_short_read",
              "empty_reads", "purge", "write_byte", "write_block", "tx_count_and_busy_agree", "modem_lines"}) {
            const std::string name = std::string(side) + "." + check;
            EXPECT_EQ(Report(lines, name).rfind("ok ", 0), 0u) << name << "\n" << all;
        }
    }
    for (const char* name : {"dev.settings", "port.monitor_sleeps", "port.handler_told", "port.closed_twice", "port.reopen",
                             "held.open", "held.write_held", "held.room_event"}) {
        EXPECT_EQ(Report(lines, name).rfind("ok ", 0), 0u) << name << "\n" << all;
    }

    // What Wine can tell on a pty: the device's own settings, no output queue, and
    // modem lines it cannot reach (the calls fail quietly, reading as off).
    EXPECT_NE(Report(lines, "dev.settings").find("baud=9600"), std::string::npos) << all;
    EXPECT_NE(Report(lines, "dev.settings").find("stopbits=2"), std::string::npos) << all;
    for (const char* side : {"dev", "port"}) {
        const std::string modem = Report(lines, std::string(side) + ".modem_lines");
        EXPECT_NE(modem.find("dtr_on=0 dtr_off=0"), std::string::npos) << modem;
        EXPECT_NE(modem.find("cts=0 dsr=0"), std::string::npos) << modem;
        EXPECT_NE(Report(lines, std::string(side) + ".tx_count_and_busy_agree").find("count=0 busy=0"),
                  std::string::npos);
    }

    // Each line carried the byte and the whole block, in order, nothing else.
    const Bytes expected = ExpectedWrites();
    devIn.waitForSize(expected.size(), 5s);
    portIn.waitForSize(expected.size(), 5s);
    EXPECT_EQ(Hex(devIn.bytes()), Hex(expected));
    EXPECT_EQ(Hex(portIn.bytes()), Hex(expected));
    // The held line carried every byte the probe wrote to it.
    ASSERT_TRUE(heldIn) << all;
    heldIn->waitForSize(heldWritten, 5s);
    const Bytes heldGot = heldIn->bytes();
    EXPECT_EQ(heldGot.size(), heldWritten);
    EXPECT_EQ(static_cast<std::size_t>(std::count(heldGot.begin(), heldGot.end(), 'h')), heldGot.size());

    std::filesystem::remove(com2, ec);
}

}  // namespace
