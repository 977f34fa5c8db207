// zolhost: the host end of a Zol link. Sends requests to a device (zolemul or the
// real thing) over a serial port or a virtual link it makes, checks every reply,
// and measures the link.
#include <cstdio>
#include <memory>
#include <string>

#include "host/cli/commands.h"
#include "host/cli/options.h"
#include "host/cli/run_options.h"
#include "host/cli/serve_options.h"
#include "host/link/link.h"
#include "host/local/pty_endpoint.h"
#include "host/net/ends.h"
#include "host/net/net_url.h"
#include "host/run/run_program.h"
#include "host/system/system.h"

namespace {

using namespace zolhost;

int Run(const Options& o) {
    if (o.command == Command::Bench && o.spawn) {
        return RunBenchCommand(BenchConfigOf(o), nullptr, "");
    }
    std::unique_ptr<Endpoint> device;
    std::string error;
    std::string where;
    if (o.device == DeviceKind::Port) {
        device = OpenDeviceEnd(o.port, o.timeoutMs, &error);
        where = device ? device->Name() : "";
    } else {
        auto pty = std::make_unique<PtyEndpoint>();
        if (!pty->Create(o.dir, kDevicePortName, &error)) {
            Say(error);
            return kExitNoLink;
        }
        const std::string& name = pty->LinkPath();
        Say("virtual link ready: " + name + " -> " + pty->DevicePath() + "; start zolemul in " + o.dir);
        const Io r = pty->WaitForPeer(o.waitSeconds > 0 ? o.waitSeconds * 1000 : -1, &error);
        if (r != Io::Done) {
            Say(r == Io::Timeout ? "nothing opened " + name + " within " + std::to_string(o.waitSeconds) + " s"
                                 : !error.empty() ? error : "interrupted before anything opened " + name);
            return kExitCheckFailed;
        }
        pty->ReleaseDevice();
        where = name + " -> " + pty->DevicePath();
        Say(name + " opened");
        device = std::move(pty);
    }
    if (!device) {
        Say(error);
        return kExitNoLink;
    }
    Channel link(*device);
    link.SetTrace(o.trace, "");
    link.SetPace(o.paceBaud);
    link.SetWriteTimeout(o.timeoutMs);

    switch (o.command) {
    case Command::Ping: return RunPing(link, PingConfigOf(o));
    case Command::Drive: return RunDrive(link, DriveConfigOf(o));
    case Command::Bench: return RunBenchCommand(BenchConfigOf(o), &link, where);
    case Command::Link:
    case Command::Replay:
    case Command::Serve:
    case Command::Run:
    case Command::None: break;
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    HoldStandardStreams();
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
    if (o.command == Command::Link && !PtysAvailable() && !net::LooksLikeUrl(o.hostPath)) {
        std::fprintf(stderr, "zolhost: a host end at a path needs POSIX ptys, which this system does not have; give "
                             "tcp://127.0.0.1:0 or rfc2217://127.0.0.1:0 as the host end instead\n");
        return kExitUsage;
    }
    if ((o.device == DeviceKind::Virtual || (o.spawn && o.command != Command::Serve)) && !PtysAvailable()) {
        std::fprintf(stderr, "zolhost: %s needs POSIX ptys, which this system does not have; use --port COMn\n",
                     o.spawn ? "--spawn" : "--virtual");
        return kExitUsage;
    }
    InstallStopHandlers();
    int status = kExitGood;
    if (o.command == Command::Run) {
        status = RunProgram(RunConfigOf(o));
    } else if (o.command == Command::Replay) {
        status = RunReplay(ReplayConfigOf(o));
    } else if (o.command == Command::Serve) {
        status = RunServe(ServeConfigOf(o));
    } else {
        status = o.command == Command::Link ? RunLink(LinkConfigOf(o)) : Run(o);
    }
    RunOver();
    return status;
}
