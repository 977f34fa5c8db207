// What the Linux tests that drive Windows programs under Wine share: the
// environment they are told where things are by, and a program whose output they
// read.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/pty_link.h"

namespace testsupport {

inline std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

// Everything a child prints, on standard output and error together. Its standard
// input: `in` (-1: the null device).
struct Program {
    explicit Program(std::vector<std::string> argv, int in = -1) : out_(pipe_.readEnd) {
        Child::Options o;
        o.argv = std::move(argv);
        o.stdinFd = in >= 0 ? in : open("/dev/null", O_RDONLY | O_CLOEXEC);
        o.stdoutFd = pipe_.writeEnd;
        child = std::make_unique<Child>(o);
        if (in < 0) {
            close(o.stdinFd);
        }
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
    // The program's output once `needle` is in it: what it wrote just before it
    // ended may still be on its way through the pipe when its end is seen.
    std::string TextWith(const std::string& needle) const {
        out_.waitForText(needle, std::chrono::seconds(5));
        return out_.text();
    }
};

}  // namespace testsupport
