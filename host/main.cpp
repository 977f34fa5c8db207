// zolhost: the host end of a Zol link. Sends requests to a device (zolemul or the
// real thing) over a serial port or a virtual link it makes, checks every reply,
// and measures the link.
#include <cstdio>
#include <string>
#include <vector>

#include "host/bench.h"
#include "host/bench_report.h"
#include "host/commands.h"
#include "host/options.h"
#include "host/platform.h"
#include "host/relay.h"
#include "host/responder.h"
#include "host/virtual_link.h"

namespace {

using namespace zolhost;

void Say(const std::string& text) {
    std::fprintf(stderr, "zolhost: %s\n", text.c_str());
}

// zolhost's own responder on a virtual link of its own: the benchmark's baseline.
struct Baseline {
    VirtualLink link;
    Responder responder;
    HostLink host;
};

bool StartBaseline(const Options& o, bool statusText, Baseline* b) {
    std::string error;
    if (!b->link.Create("", "", &error) || !b->responder.Start(b->link.DevicePath(), statusText, &error)) {
        Say(error);
        return false;
    }
    b->link.ReleaseDevice();
    b->host.Attach(b->link.HostEnd(), b->link.DevicePath());
    b->host.SetTrace(o.trace, statusText ? "baseline+text" : "baseline");
    b->host.SetPace(o.paceBaud);
    b->host.SetWriteTimeout(o.timeoutMs);
    return true;
}

int Run(const Options& o) {
    HostLink link;
    VirtualLink virtualLink;
    LinkContext ctx;
    std::string error;
    std::string where;
    if (o.link == LinkKind::Port) {
        if (!link.OpenPort(o.port, &error)) {
            Say(error);
            return kExitNoLink;
        }
        ctx.deviceName = link.Name();
        where = link.Name();
    } else {
        if (!virtualLink.Create(o.dir, kDevicePortName, &error)) {
            Say(error);
            return kExitNoLink;
        }
        Say("virtual link ready: " + virtualLink.LinkPath() + " -> " + virtualLink.DevicePath() +
            "; start zolemul in " + o.dir);
        const int r = virtualLink.WaitForPeer(o.waitSeconds > 0 ? o.waitSeconds * 1000 : -1, &error);
        if (r <= 0) {
            Say(r == 0 ? "nothing opened " + virtualLink.LinkPath() + " within " + std::to_string(o.waitSeconds) + " s"
                       : !error.empty() ? error : "interrupted before anything opened " + virtualLink.LinkPath());
            return kExitCheckFailed;
        }
        virtualLink.ReleaseDevice();
        link.Attach(virtualLink.HostEnd(), virtualLink.LinkPath());
        ctx.deviceName = virtualLink.LinkPath();
        where = virtualLink.LinkPath() + " -> " + virtualLink.DevicePath();
        Say(virtualLink.LinkPath() + " opened");
    }
    link.SetTrace(o.trace, "");
    link.SetPace(o.paceBaud);
    link.SetWriteTimeout(o.timeoutMs);

    switch (o.command) {
    case Command::Ping: return RunPing(link, o);
    case Command::Drive: return RunDrive(link, o, ctx);
    case Command::Bench: {
        std::vector<BenchTarget> targets;
        targets.push_back({o.link == LinkKind::Virtual ? "zolemul" : "device", where, &link});
        Baseline quiet;
        Baseline text;
        if (o.baseline) {
            if (!StartBaseline(o, false, &quiet) || !StartBaseline(o, true, &text)) {
                return kExitCheckFailed;
            }
            targets.push_back({"baseline", "zolhost's responder, sleeping in poll", &quiet.host});
            targets.push_back({"baseline+text", "zolhost's responder, printing the status text to a terminal", &text.host});
        }
        Progress progress;
        const std::vector<TargetResult> results = RunBench(targets, o, &progress);
        const std::string report = o.json ? BenchJson(o, results) : BenchText(o, results);
        std::fputs(report.c_str(), stdout);
        std::fflush(stdout);
        for (const TargetResult& t : results) {
            if (!t.Ok()) {
                return kExitCheckFailed;
            }
        }
        return kExitGood;
    }
    case Command::Link:
    case Command::None: break;
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!ParseOptions(argc, argv, &o, &error)) {
        std::fprintf(stderr, "zolhost: %s\nrun 'zolhost --help' for usage\n", error.c_str());
        return kExitUsage;
    }
    if (o.help) {
        std::fputs(UsageText(), stdout);
        return kExitGood;
    }
    if (o.version) {
        std::fputs(VersionText(), stdout);
        return kExitGood;
    }
    if (o.command == Command::Link && !VirtualLinksAvailable()) {
        std::fprintf(stderr, "zolhost: link needs POSIX ptys, which this system does not have; connect your program "
                             "to zolemul with a null-modem pair instead\n");
        return kExitUsage;
    }
    if (o.link == LinkKind::Virtual && !VirtualLinksAvailable()) {
        std::fprintf(stderr, "zolhost: --virtual needs POSIX ptys, which this system does not have; use --port COMn\n");
        return kExitUsage;
    }
    InstallStopHandlers();
    return o.command == Command::Link ? RunLink(o) : Run(o);
}
