// tshark with the project's dissector, for tests that read a link capture back.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/pty_link.h"

namespace testsupport {

// tshark on PATH; empty when it is not installed.
inline std::string TsharkPath() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/tshark";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

inline std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One row per packet of `capture`: the fields asked for, as tshark decodes them
// with the dissector at `lua` (booleans as 1 and 0, as tshark 4.0 writes them;
// later ones write True and False). nullopt, the test failed, when tshark fails.
// `work` holds tshark's home (it wants a writable one) and its output.
inline std::optional<std::vector<std::vector<std::string>>> TsharkFields(const std::string& capture,
                                                                         const std::vector<std::string>& fields,
                                                                         const TempDir& work, const char* lua) {
    std::string command = "HOME='" + work.path() + "' exec '" + TsharkPath() + "' -n -X lua_script:" + lua + " -r '" +
                          capture + "' -T fields -E separator=/t -E occurrence=f";
    for (const std::string& f : fields) {
        command += " -e " + f;
    }
    command += " 2>'" + work.path() + "/tshark-stderr.txt'";  // as root it warns there
    const std::string out = work / "tshark-fields.txt";
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (outFd < 0) {
        ADD_FAILURE() << "cannot make " << out;
        return std::nullopt;
    }
    Child::Options o;
    o.argv = {"/bin/sh", "-c", command};
    o.stdinFd = Child::kClosed;
    o.stdoutFd = outFd;
    Child child(o);
    ::close(outFd);
    using namespace std::chrono_literals;
    const auto status = child.wait(Scaled(60s));
    if (!status || *status != 0) {
        ADD_FAILURE() << "tshark " << (status ? "failed" : "still running") << ": "
                      << FileText(work / "tshark-stderr.txt");
        return std::nullopt;
    }
    std::vector<std::vector<std::string>> rows;
    std::stringstream lines(FileText(out));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> row;
        std::stringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) {
            row.push_back(cell == "True" ? "1" : cell == "False" ? "0" : cell);
        }
        row.resize(fields.size());
        rows.push_back(row);
    }
    return rows;
}

}  // namespace testsupport
