#include "host/replay/run_replay.h"

#include <algorithm>
#include <cstdio>

#include "host/base/text.h"
#include "host/replay/replay_ends.h"

namespace zolhost {

namespace {

int AgainstDevice(const ReplayConfig& c, const Recording& r) {
    ReplayHost host(r, c.fast, c.link.timeoutMs, c.link.relay.paceBaud);
    LinkConfig link = c.link;
    link.relay.faults = FaultSettings{};  // the device's own answers, as they leave it
    // ... but the bytes a frozen device took never reach it: frozen and thawed at the
    // same host bytes (what the host end saw and was given does not count here).
    for (SteerChangeAt s : r.relay.steerChanges) {
        if (s.kind == SteerChangeAt::Kind::Freeze || s.kind == SteerChangeAt::Kind::Thaw) {
            s.fromReply = 0;
            s.delivered = 0;
            link.relay.steerChanges.push_back(s);
        }
    }
    const int status = RunLinkWith(link, LinkEnds{&host, nullptr, [&host] { return host.Finished(); }});
    if (status != kExitGood) {
        return status;
    }
    if (!host.Finished()) {
        std::printf("replay: interrupted\n");
        return kExitCheckFailed;
    }
    for (const ReplayHost::Difference& d : host.Differences()) {
        const std::string got = d.got.empty() ? "nothing" : Hex(d.got.data(), d.got.size());
        if (!d.unrecorded) {
            std::printf("frame %zu at %s: expected %s, got %s\n", d.frame, SecondsText(d.atUs).c_str(),
                        Hex(d.expected.data(), d.expected.size()).c_str(), got.c_str());
        } else if (d.frame == 0) {
            std::printf("before the first request: expected nothing more, got %s\n", got.c_str());
        } else {
            std::printf("after frame %zu at %s: expected nothing more, got %s\n", d.frame, SecondsText(d.atUs).c_str(),
                        got.c_str());
        }
    }
    if (!host.Unexpected().empty()) {
        std::printf("unexpected: %zu bytes that no recorded packet was followed by: %s\n", host.Unexpected().size(),
                    Hex(host.Unexpected().data(), std::min<std::size_t>(host.Unexpected().size(), 32)).c_str());
    }
    const std::size_t differ = host.Differences().size() + (host.Unexpected().empty() ? 0 : 1);
    std::printf("replay: %zu packets of the device compared: %s\n", host.Compared(),
                differ == 0 ? "all as recorded" : (std::to_string(differ) + " differ").c_str());
    std::fflush(stdout);
    return differ == 0 ? kExitGood : kExitCheckFailed;
}

int AsDevice(const ReplayConfig& c, const Recording& r) {
    RecordedDevice device(r, c.stopAtDeviation, Clock::now());
    LinkConfig link = c.link;
    link.hostPath = c.asDevice;
    link.relay = r.relay;
    Say("playing the device of " + c.capture + (r.description.empty() ? "" : " (" + r.description + ")"));
    const int status = RunLinkWith(link, LinkEnds{nullptr, &device, [&device] { return device.Stopped(); }});
    if (status != kExitGood) {
        return status;
    }
    std::printf("replay: %zu requests as recorded, %zu not\n", device.Matched(), device.Deviations());
    std::fflush(stdout);
    return device.Deviations() == 0 ? kExitGood : kExitCheckFailed;
}

}  // namespace

int RunReplay(const ReplayConfig& c) {
    Recording r;
    std::string error;
    if (!ReadRecording(c.capture, &r, &error)) {
        Say(error);
        return kExitUsage;
    }
    const bool deviceSpoke =
        std::any_of(r.items.begin(), r.items.end(), [](const Recorded& item) { return !item.toDevice; });
    if (c.asDevice.empty() && !deviceSpoke) {
        Say(c.capture + ": the capture holds no packet of the device: nothing to hold a device against");
        return kExitUsage;
    }
    return c.asDevice.empty() ? AgainstDevice(c, r) : AsDevice(c, r);
}

}  // namespace zolhost
