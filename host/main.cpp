// zolhost: the host end of a Zol link. Sends requests to a device (zolemul or the
// real thing) over a serial port or a virtual link it makes, checks every reply,
// and measures the link.
#include <cstdio>
#include <string>

#include "host/commands.h"
#include "host/options.h"
#include "host/platform.h"
#include "host/relay.h"
#include "host/virtual_link.h"

namespace {

using namespace zolhost;

constexpr char kPortName[] = "COM2";

int Run(const Options& o) {
    if (o.command == Command::Bench && o.spawn) {
        return RunBenchCommand(o, nullptr, "");
    }
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
    case Command::Bench: return RunBenchCommand(o, &link, where);
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
    if ((o.link == LinkKind::Virtual || o.spawn) && !VirtualLinksAvailable()) {
        std::fprintf(stderr, "zolhost: %s needs POSIX ptys, which this system does not have; use --port COMn\n",
                     o.spawn ? "--spawn" : "--virtual");
        return kExitUsage;
    }
    InstallStopHandlers();
    return o.command == Command::Link ? RunLink(o) : Run(o);
}
