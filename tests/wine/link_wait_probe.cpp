// link_wait_probe: zolhost's two link loops on Windows (or Wine), each over a
// device end whose system wait fails every time, as one would whose socket or
// event is gone: zolhost link's own loop (WaitForMultipleObjects on the end's
// event) and serve's loop of many links (WSAPoll on the end's socket). A failing
// wait must end the run, said why, within a bound; one taken for a timeout keeps
// the loop going, a core busy, until something else stops it (here the probe's
// deadline).
//
//   link_wait_probe
//
// One line per check on standard output: "ok <check> <detail>" or
// "FAIL <check> <detail>"; last line "done <passed> <failed>"; the exit status is
// 0 only when no check failed. zolhost's own messages go to standard error.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "host/base/outcome.h"
#include "host/link/link.h"
#include "host/link/link_set.h"
#include "host/transport/memory_endpoint.h"

namespace {

using namespace zolhost;
using namespace std::chrono_literals;

// Long enough for any bounded retry to have given up; the loops must end well
// before it.
constexpr auto kDeadline = 10s;

int gPassed = 0;
int gFailed = 0;

void Check(bool ok, const char* name, const std::string& detail) {
    std::printf("%s %s %s\n", ok ? "ok" : "FAIL", name, detail.c_str());
    std::fflush(stdout);
    ++(ok ? gPassed : gFailed);
}

// A handle and a socket that name nothing: no object has them.
const std::intptr_t kNoHandle = 0x7ffffff0;
const int kNoSocket = 0x7ffffff0;

// A device end in memory whose event and socket, as the link's waits take them,
// are gone.
class GoneEndpoint : public MemoryEndpoint {
public:
    GoneEndpoint() : MemoryEndpoint("gone") {}
    int PollFd() const override { return kNoSocket; }
    std::intptr_t WaitHandle() override { return kNoHandle; }
};

std::string Seconds(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", std::chrono::duration<double>(d).count());
    return text;
}

// zolhost link's loop: the run ends by itself, with a failure status.
void LinkLoopEnds() {
    MemoryEndpoint host("host");
    GoneEndpoint device;
    LinkConfig c;
    c.quiet = true;
    const auto start = Clock::now();
    bool deadline = false;
    const int status = RunLinkWith(c, LinkEnds{&host, &device, [&] {
                                                  deadline = Clock::now() - start >= kDeadline;
                                                  return deadline;
                                              }});
    const std::string took = "status " + std::to_string(status) + " after " + Seconds(Clock::now() - start);
    Check(!deadline, "link-ends", took + (deadline ? ": ran until the probe's deadline" : ""));
    Check(status != kExitGood, "link-fails", took);
}

// serve's loop of many links: it ends by itself and says why.
void LinkSetEnds() {
    MemoryEndpoint host("host");
    GoneEndpoint device;
    LinkRecord record(false);
    Link link(host, device, RelayConfig{}, record);
    link.TryOpen(link.End(Side::Device), Clock::now());
    LinkSetControl control;
    const auto start = Clock::now();
    bool deadline = false;
    control.finished = [&] {
        deadline = Clock::now() - start >= kDeadline;
        return deadline;
    };
    const std::string why = RunLinks({LinkUnit{&link, &record}}, &control);
    const std::string took = "after " + Seconds(Clock::now() - start);
    Check(!deadline, "set-ends", took + (deadline ? ": ran until the probe's deadline" : ""));
    Check(why.find("WSAPoll") != std::string::npos, "set-says-why", why.empty() ? "nothing said" : why);
}

}  // namespace

int main() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        Check(false, "winsock", "WSAStartup failed");
    }
    LinkLoopEnds();
    LinkSetEnds();
    std::printf("done %d %d\n", gPassed, gFailed);
    return gFailed == 0 ? 0 : 1;
}
