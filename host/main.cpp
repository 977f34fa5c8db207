// zolhost: the host end of a Zol link. Sends requests to a device (zolemul or the
// real thing) over a serial port or a virtual link it makes, checks every reply,
// and measures the link.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/commands.h"
#include "host/options.h"
#include "host/platform.h"
#include "host/responder.h"
#include "host/virtual_link.h"

namespace {

using namespace zolhost;

constexpr char kPortName[] = "COM2";

void Say(const std::string& text) {
    std::fprintf(stderr, "zolhost: %s\n", text.c_str());
}

// The bench against zolhost's own responder, with and without status text.
bool RunBaseline(const Options& o, bool statusText, Progress* progress, TargetResult* result) {
    const std::string name = statusText ? "baseline+text" : "baseline";
    VirtualLink link;
    Responder responder;
    std::string error;
    if (!link.Create("", "", &error) || !responder.Start(link.DevicePath(), statusText, &error)) {
        Say(error);
        return false;
    }
    link.ReleaseDevice();
    HostLink host;
    host.Attach(link.HostEnd(), link.DevicePath());
    host.SetTrace(o.trace, name);
    host.SetPace(o.paceBaud);
    *result = RunBench(host, o, name,
                       statusText ? "zolhost's responder, printing the status text to a terminal"
                                  : "zolhost's responder, sleeping in poll",
                       progress);
    responder.Stop();
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
        if (!virtualLink.Create(o.dir, kPortName, &error)) {
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
        Progress progress;
        std::vector<TargetResult> targets;
        targets.push_back(RunBench(link, o, o.link == LinkKind::Virtual ? "zolemul" : "device", where, &progress));
        if (o.baseline) {
            for (const bool statusText : {false, true}) {
                TargetResult t;
                if (!RunBaseline(o, statusText, &progress, &t)) {
                    return kExitCheckFailed;
                }
                targets.push_back(t);
            }
        }
        const std::string report = o.json ? BenchJson(o, targets) : BenchText(o, targets);
        std::fputs(report.c_str(), stdout);
        std::fflush(stdout);
        for (const TargetResult& t : targets) {
            if (!t.Ok()) {
                return kExitCheckFailed;
            }
        }
        return kExitGood;
    }
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
    if (o.link == LinkKind::Virtual && !VirtualLinksAvailable()) {
        std::fprintf(stderr, "zolhost: --virtual needs POSIX ptys, which this system does not have; use --port COMn\n");
        return kExitUsage;
    }
    InstallStopHandlers();
    return Run(o);
}
