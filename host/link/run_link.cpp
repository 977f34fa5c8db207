// zolhost link from its configuration: the ends made, the link run until a stop
// is requested, and its summary.
#include <cinttypes>
#include <cstdio>

#include "host/base/text.h"
#include "host/link/link.h"
#include "host/local/pty_endpoint.h"
#include "host/net/ends.h"
#include "host/net/net_url.h"
#include "host/process/emulator_process.h"
#include "host/system/system.h"
#include "host/transport/builtin_device.h"
#include "host/wait/wait_failures.h"

namespace zolhost {

namespace {

void PrintNotes(const char* which, const Endpoint& ep, const LinkTally::Notes& n) {
    const std::string state = ep.LineState();
    if (!state.empty() || n.settings + n.controls + n.purges + n.refused > 0) {
        std::printf("  %s line: %s%s%" PRIu64 " settings, %" PRIu64 " control changes, %" PRIu64 " purges, %" PRIu64
                    " refused requests\n",
                    which, state.c_str(), state.empty() ? "" : "; ", n.settings, n.controls, n.purges, n.refused);
    }
}

void PrintGarbling(const Garble& g) {
    const Garble::Counts& d = g.Toward(true);
    const Garble::Counts& h = g.Toward(false);
    if (d.crossed + h.crossed == 0) {
        return;
    }
    if (g.WarnOnly()) {
        std::printf("  passed unchanged while the host's line differed from the device's: %" PRIu64
                    " bytes to the device, %" PRIu64 " to the host\n",
                    d.crossed, h.crossed);
    } else {
        std::printf("  garbled while the host's line differed from the device's: %" PRIu64
                    " bytes to the device (it took %" PRIu64 "), %" PRIu64 " to the host (it took %" PRIu64 ")\n",
                    d.crossed, d.arrived, h.crossed, h.arrived);
    }
}

}  // namespace

void PrintSummary(Link& link, const LinkRecord& record, std::uint64_t seed) {
    const LinkTally& t = record.Tally();
    const Relay& r = link.Relayed();
    const Relay::LineCounts& toDevice = r.CountsToward(Side::Device);
    const Relay::LineCounts& toHost = r.CountsToward(Side::Host);
    std::printf("link summary (seed %" PRIu64 "):\n", seed);
    std::printf("  host to device: %" PRIu64 " bytes; requests seen: %" PRIu64 "\n", toDevice.bytes, t.goodRequests);
    std::printf("  device to host: %" PRIu64 " bytes; replies: %" PRIu64 ", forwarded %" PRIu64 ", dropped %" PRIu64
                ", corrupted %" PRIu64 ", delayed %" PRIu64 ", split %" PRIu64,
                toHost.bytes, t.replies, t.forwarded, t.dropped, t.corrupted, t.delayed, t.split);
    if (t.unheard > 0) {
        std::printf(", while the host end was closed %" PRIu64, t.unheard);
    }
    std::printf("\n");
    if (toDevice.lost + toHost.lost > 0) {
        std::printf("  lost while an end was closed: %" PRIu64 " bytes to the device, %" PRIu64 " to the host\n",
                    toDevice.lost, toHost.lost);
    }
    PrintNotes("host", *link.End(Side::Host).ep, t.host);
    PrintNotes("device", *link.End(Side::Device).ep, t.device);
    PrintGarbling(r.Garbling());
    if (toDevice.purged + toHost.purged > 0) {
        std::printf("  purged: %" PRIu64 " bytes to the device, %" PRIu64 " to the host\n", toDevice.purged,
                    toHost.purged);
    }
    std::fflush(stdout);
}

namespace {

// What the capture's header says the link was, for a person reading it.
std::string LinkDescription(const LinkConfig& c) {
    const std::string device = c.device == LinkConfig::DeviceEnd::Port      ? c.port
                               : c.device == LinkConfig::DeviceEnd::Spawn   ? "zolemul started by zolhost"
                               : c.device == LinkConfig::DeviceEnd::Builtin ? "the device built into zolhost"
                                                                            : c.dir + "/" + kDevicePortName;
    const FaultSettings& f = c.relay.faults;
    char faults[160];
    std::snprintf(faults, sizeof faults, "drop %g%%, corrupt %g%%, delay %d-%d ms, %s", f.dropPct, f.corruptPct,
                  f.delayMinMs, f.delayMaxMs, f.splitGapMs >= 0 ? ("split " + std::to_string(f.splitGapMs) + " ms").c_str() : "no split");
    return "zolhost link: device end " + device + ", host end " + c.hostPath + "; " +
           (c.relay.paceBaud > 0 ? "paced at " + std::to_string(c.relay.paceBaud) + " baud" : std::string("not paced")) +
           "; faults: " + faults + "; seed " + std::to_string(c.relay.seed) +
           (c.relay.mismatchWarn ? "; a host line unlike the device's is passed on" : "");
}

}  // namespace

bool MakeLinkDevice(const LinkConfig& c, LinkDevice* d, int* status, std::string* error) {
    *status = kExitNoLink;
    if (c.device == LinkConfig::DeviceEnd::Port) {
        d->owned = OpenDeviceEnd(c.port, c.timeoutMs, error);
        d->open = d->owned != nullptr;
    } else if (c.device == LinkConfig::DeviceEnd::Builtin) {
        auto device = std::make_unique<BuiltinDevice>(c.label.empty() ? "built-in device" : "built-in " + c.label);
        d->builtin = device.get();
        d->owned = std::move(device);
        d->open = true;
    } else if (c.device == LinkConfig::DeviceEnd::Spawn) {
        const std::string exe = FindEmulator(c.deviceExe, error);
        d->emulator = std::make_unique<EmulatorProcess>();
        const auto deadline = Clock::now() + std::chrono::seconds(c.waitSeconds > 0 ? c.waitSeconds : kStartSeconds);
        if (exe.empty() || !d->emulator->Start(exe, "zolhost-link-", deadline, error)) {
            *error = "zolemul: " + *error;
            *status = kExitCheckFailed;
            return false;
        }
        if (!c.quiet) {
            Say("started zolemul: " + exe + " in " + d->emulator->Dir() + ", its console on a pty");
        }
        d->emulator->Port().KeepTransparent(true);
        d->ep = &d->emulator->Port();
        d->open = true;
        return true;
    } else {
        auto pty = std::make_unique<PtyEndpoint>();
        if (pty->Create(c.dir, kDevicePortName, error)) {
            pty->KeepTransparent(true);
            if (!c.quiet) {
                Say("device end ready: " + pty->Name() + " -> " + pty->DevicePath() + "; start zolemul in " + c.dir);
            }
            d->owned = std::move(pty);
            if (c.waitSeconds > 0) {
                d->waitUntil = Clock::now() + std::chrono::seconds(c.waitSeconds);
            }
        }
    }
    if (d->owned == nullptr) {
        return false;
    }
    d->ep = d->owned.get();
    return true;
}

bool OpenLinkCapture(const LinkConfig& c, LinkRecord& record, std::string* error) {
    return c.pcapPath.empty() || record.OpenCapture(c.pcapPath, error, {LinkDescription(c), RelayConfigTag(c.relay)});
}

void UnplugHostEnd(Link& link, std::unique_ptr<Endpoint>& host, Clock::time_point now) {
    if (link.End(Side::Host).state != LinkEnd::State::Unplugged) {
        link.Unplug(Side::Host, now);
        host.reset();  // a pty's path goes with it, a listener's port is closed
    }
}

bool PlugHostEnd(Link& link, std::unique_ptr<Endpoint>& host, const std::string& hostEnd, Clock::time_point now,
                 std::string* error, bool announce) {
    if (link.End(Side::Host).state != LinkEnd::State::Unplugged) {
        return true;
    }
    std::unique_ptr<Endpoint> ep = MakeHostEnd(hostEnd, error, announce);
    if (ep == nullptr) {
        return false;
    }
    host = std::move(ep);
    link.Plug(Side::Host, *host, now);
    return true;
}

void SteerAsRecorded(Link& link, std::unique_ptr<Endpoint>* host, const HostEndPlace& at, Clock::time_point now) {
    const auto hostUnread = [&] { return host != nullptr && *host != nullptr && (*host)->PeerUnread() > 0; };
    while (const std::optional<SteerChangeAt::Kind> kind = link.Relayed().NextRecordedChange(now, hostUnread)) {
        std::string error;
        if (host == nullptr) {
            continue;
        }
        if (*kind == SteerChangeAt::Kind::Unplug) {
            UnplugHostEnd(link, *host, now);
        } else if (!PlugHostEnd(link, *host, at.again, now, &error) &&
                   (at.anew == at.again || !PlugHostEnd(link, *host, at.anew, now, &error, true))) {
            Say("the recorded plug of " + at.again + " cannot be made: " + error);
        }
    }
}

bool WaitAndRecord(Link& link, LinkRecord& record, std::optional<Clock::time_point> until, std::string* error) {
    const bool waited = WaitForLink(link, until, error);
    link.TakeNotes(Clock::now());
    record.Flush();
    return waited;
}

int RunLink(const LinkConfig& c) {
    return RunLinkWith(c, LinkEnds{});
}

int RunLinkWith(const LinkConfig& c, const LinkEnds& ends) {
    LinkRecord record(c.trace, c.label);
    std::string error;
    if (!OpenLinkCapture(c, record, &error)) {
        Say(error);
        return kExitNoLink;
    }
    LinkDevice device;
    int status = kExitNoLink;
    if (ends.device != nullptr) {
        device.ep = ends.device;
        device.open = true;
    } else if (!MakeLinkDevice(c, &device, &status, &error)) {
        Say(error);
        return status;
    }
    std::unique_ptr<Endpoint> made = ends.host != nullptr ? nullptr : MakeHostEnd(c.hostPath, &error, !c.quiet);
    Endpoint* host = ends.host != nullptr ? ends.host : made.get();
    if (host == nullptr) {
        Say(error);
        return kExitNoLink;
    }
    // A listener on port 0 is plugged back on the port it chose: its URL is what
    // the host program was told.
    const HostEndPlace plugAt{net::LooksLikeUrl(c.hostPath) ? host->Name() : c.hostPath, c.hostPath};
    Link link(*host, *device.ep, c.relay, record);
    const std::uint32_t pace = c.relay.paceBaud;
    Say("linking " + host->Name() + " and " + device.ep->Name() + ", " +
        (pace > 0 ? "paced at " + std::to_string(pace) + " baud" : std::string("not paced")) + "; Ctrl-C to stop");
    if (device.open) {
        link.TryOpen(link.End(Side::Device), Clock::now());
    }
    WaitFailures failures;
    status = kExitGood;
    while (!StopRequested() && !(ends.finished && ends.finished())) {
        const auto now = Clock::now();
        // An end of the caller's own (a replay) begins once the device end is there.
        if (ends.host != nullptr && link.End(Side::Host).state == LinkEnd::State::Unopened &&
            link.End(Side::Device).state == LinkEnd::State::Open) {
            link.TryOpen(link.End(Side::Host), now);
        }
        link.Pass(now);
        SteerAsRecorded(link, ends.host != nullptr ? nullptr : &made, plugAt, now);
        if (ends.finished && ends.finished()) {
            break;
        }
        if (device.waitUntil && link.End(Side::Device).state == LinkEnd::State::Unopened && now >= *device.waitUntil) {
            Say("nothing opened " + device.ep->Name() + " within " + std::to_string(c.waitSeconds) + " s");
            return kExitCheckFailed;
        }
        if (WaitAndRecord(link, record, device.waitUntil, &error)) {
            failures.Passed();
        } else if (!failures.Again(error)) {
            Say(failures.Text() + "; the link ends");
            status = kExitNoLink;
            break;
        }
    }
    if (!ends.finished) {
        PrintSummary(link, record, c.relay.seed);
    }
    return status;
}

}  // namespace zolhost
