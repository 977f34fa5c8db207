// pyserial's own rfc2217 client (Debian's python3-serial) against a server built from
// zolhost's engine and listener, over loopback.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "tests/support/pty_link.h"

namespace {

using namespace testsupport;

// A program whose standard output and error the test collects.
struct Program {
    std::unique_ptr<Child> child;
    std::unique_ptr<Collector> output;
    int readEnd = -1;

    explicit Program(std::vector<std::string> argv) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        readEnd = fds[0];
        Child::Options o;
        o.argv = std::move(argv);
        o.stdinFd = Child::kClosed;
        o.stdoutFd = fds[1];
        child = std::make_unique<Child>(o);
        close(fds[1]);
        output = std::make_unique<Collector>(readEnd);
    }
    ~Program() {
        child.reset();   // killed if still running
        output.reset();
        close(readEnd);
    }
    std::string Text() const { return output->text(); }
};

TEST(Rfc2217Interop, PyserialsClientUsesTheServerWithAPlainUrl) {
    Program server({RFC2217_TEST_SERVER, "60"});
    ASSERT_TRUE(server.output->waitForText("\n", 10s)) << server.Text();
    std::smatch m;
    const std::string first = server.Text();
    ASSERT_TRUE(std::regex_search(first, m, std::regex(R"(^(rfc2217://127\.0\.0\.1:\d+)\n)"))) << first;
    const std::string url = m[1];

    Program host({ZOL_SYSTEM_PYTHON, RFC2217_HOST_SCRIPT, url});
    const auto status = host.child->wait(60s);
    ASSERT_TRUE(status) << "pyserial host did not end:\n" << host.Text() << "\nserver:\n" << server.Text();
    EXPECT_EQ(*status, 0) << host.Text() << "\nserver:\n" << server.Text();
    EXPECT_TRUE(host.output->waitForText("ok requests 205\n", 5s)) << host.Text();

    server.child->signal(SIGTERM);
    ASSERT_TRUE(server.child->wait(10s));
    ASSERT_TRUE(server.output->waitForText("summary:", 5s)) << server.Text();
    const std::string log = server.Text();
    // Both openings asked for their settings and got them, and the change made on the
    // fly is in force; the purge after it is the seventh.
    // One request more than the host counted: the one whose reply it purged.
    EXPECT_NE(log.find("summary: clients 2 turned away 1 requests 206 purges 7 settings 115200 8N1"), std::string::npos)
        << log;
    for (const char* seen : {"event: baud 115200", "event: baud 9600", "event: data bits 8", "event: DTR off",
                             "event: RTS off", "event: DTR on", "event: flow control none",
                             "event: purge receive buffer", "event: purge transmit buffer"}) {
        EXPECT_NE(log.find(seen), std::string::npos) << seen << "\n" << log;
    }
    // Nothing pyserial sent was malformed or dropped.
    EXPECT_EQ(log.find("ignored"), std::string::npos) << log;
}

}  // namespace
