// The emulator's Windows console layer under Wine: console_probe.exe runs it on a
// console of its own (a pty here) and reports the console's input modes while a
// run goes on and after a key, Ctrl-Break and the close event end it.
//
// Runs when ZOLEMUL_E2E_LOADER names Wine's loader and ZOLEMUL_E2E_CONSOLE_PROBE
// the probe exe.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/pty_link.h"

namespace {

using namespace testsupport;

TEST(ConsoleProbeUnderWine, InputModesWhileRunningAndAfterEachWayOfEnding) {
    const char* loader = std::getenv("ZOLEMUL_E2E_LOADER");
    const char* probe = std::getenv("ZOLEMUL_E2E_CONSOLE_PROBE");
    if (loader == nullptr || probe == nullptr) {
        GTEST_SKIP() << "the probe is a Windows program: it runs under Wine only "
                        "(ZOLEMUL_E2E_LOADER, ZOLEMUL_E2E_CONSOLE_PROBE)";
    }
    TempDir dir;
    PtyPair console(false);
    Collector shown(console.master());  // Wine's console host must never stall on it
    std::string report = "Z:" + (dir / "report.txt");
    for (char& c : report) {
        c = c == '/' ? '\\' : c;
    }
    Child::Options o;
    o.argv = {loader, probe, report};
    o.consolePath = console.slavePath();
    Child child(o);
    const std::optional<int> status = child.wait(60s);

    std::ifstream in(dir / "report.txt");
    const std::string all = "\n" + std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(status, 0) << all;
    for (const char* check : {"console", "key.modes_while_running", "key.other_records_taken_out", "key.taken",
                              "key.modes_restored", "break.modes_while_running", "break.ends_the_run",
                              "break.modes_restored", "close.modes_while_running",
                              "close.waits_for_the_end_of_the_run", "close.modes_restored",
                              "close.handler_returns_once_the_console_is_back"}) {
        EXPECT_NE(all.find(std::string("\nok ") + check + " "), std::string::npos) << check << "\n" << all;
    }
    EXPECT_NE(all.find("\ndone 12 0\n"), std::string::npos) << all;
    for (const char* text : {"printed before the start", "printed while running"}) {
        EXPECT_TRUE(shown.waitForText(text, 5s)) << text << " is not on the console: " << shown.text();
    }
}

}  // namespace
