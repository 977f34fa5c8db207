#include "host/serve/serve_device.h"

#include <memory>

#include "host/net/ends.h"
#include "host/system/system.h"
#include "host/transport/builtin_device.h"

namespace zolhost {

void DeviceBoard::Change(std::size_t index, const std::function<void(DeviceState&)>& change) {
    const std::lock_guard<Mutex> lock(mutex_);
    change(states_.at(index));
}

std::vector<DeviceState> DeviceBoard::Snapshot() const {
    const std::lock_guard<Mutex> lock(mutex_);
    return states_;
}

namespace {

// A device that never came up: why, and how serve exits.
void Failed(DeviceBoard& board, std::size_t index, int status, const std::string& why) {
    board.Change(index, [&](DeviceState& s) {
        s.phase = DeviceState::Phase::Failed;
        s.status = status;
        s.error = why;
    });
}

// What a device's link counted.
DeviceSummary LinkSummary(const Link& link, const LinkRecord& record) {
    DeviceSummary summary;
    summary.tally = record.Tally();
    const Relay& r = link.Relayed();
    summary.bytesToDevice = r.CountsToward(Side::Device).bytes;
    summary.bytesToHost = r.CountsToward(Side::Host).bytes;
    summary.lost = r.CountsToward(Side::Device).lost + r.CountsToward(Side::Host).lost;
    return summary;
}

// Runs the link, steered through `mailbox`, until a stop is requested, zolemul
// ends on its own (it hangs up its port then, so the link looks at it again every
// kReopenMs) or the link cannot go on; ends zolemul. Empty, or why the device
// ended on its own.
std::string RunUntilStopped(SteeredDevice& d, EmulatorProcess& emulator, SteerMailbox* mailbox,
                            DeviceSummary* summary) {
    std::string why;
    std::vector<SteeredDevice> one{d};
    Link& link = *d.link;
    const std::string failed = RunSteeredLinks(
        one, mailbox, [&] { return link.End(Side::Device).state != LinkEnd::State::Open && !emulator.Running(); },
        &emulator.Console());
    if (failed.empty() && !StopRequested() && !emulator.Running()) {
        emulator.End(&why);  // "ended (status N) before its key press"
        why = "zolemul (pid " + std::to_string(emulator.Pid()) + ") " + why;
    }
    *summary = LinkSummary(link, *d.record);
    summary->endedCleanly = why.empty() && emulator.End(&summary->endError);
    if (!failed.empty()) {
        why = "its link: " + failed;
    }
    if (!why.empty()) {
        summary->endError = why;
    }
    return why;
}

}  // namespace

void ServeDevice(const LinkConfig& c, std::size_t index, DeviceBoard& board, SteerMailbox* mailbox) {
    DeviceSummary summary;
    std::string endedOnItsOwn;
    {
        LinkRecord record(c.trace, c.label);
        LinkDevice device;
        std::string error;
        int status = kExitNoLink;
        if (!OpenLinkCapture(c, record, &error)) {
            Failed(board, index, kExitNoLink, error);
            return;
        }
        if (!MakeLinkDevice(c, &device, &status, &error)) {
            Failed(board, index, status, error);
            return;
        }
        std::unique_ptr<Endpoint> host = MakeHostEnd(c.hostPath, &error, false);
        if (host == nullptr) {
            Failed(board, index, kExitNoLink, error);
            return;
        }
        Link link(*host, *device.ep, c.relay, record);
        link.TryOpen(link.End(Side::Device), Clock::now());
        board.Change(index, [&](DeviceState& s) {
            s.phase = DeviceState::Phase::Up;
            s.pid = device.emulator->Pid();
            s.dir = device.emulator->Dir();
            s.hostEnd = host->Name();
        });
        EmulatorProcess& emulator = *device.emulator;
        SteeredDevice steered{index, "zolemul", &link, &record, &host, host->Name(),
                              [&emulator] { return emulator.Console().LatestFrameText(); }};
        endedOnItsOwn = RunUntilStopped(steered, *device.emulator, mailbox, &summary);
    }  // the host end, zolemul's port and its directory are gone now
    board.Change(index, [&](DeviceState& s) {
        s.phase = DeviceState::Phase::Ended;
        s.error = endedOnItsOwn;
        s.summary = summary;
    });
}

}  // namespace zolhost

namespace zolhost {

namespace {

// A built-in device and its link.
struct BuiltinUnit {
    std::size_t index;
    std::unique_ptr<LinkRecord> record;
    LinkDevice device;
    std::unique_ptr<Endpoint> host;
    std::unique_ptr<Link> link;
};


}  // namespace

void ServeBuiltinDevices(const std::vector<LinkConfig>& configs, const std::vector<std::size_t>& indices,
                         DeviceBoard& board, SteerMailbox* mailbox) {
    std::vector<BuiltinUnit> units(indices.size());
    for (std::size_t k = 0; k < indices.size(); ++k) {
        BuiltinUnit& u = units[k];
        const LinkConfig& c = configs.at(indices[k]);
        u.index = indices[k];
        u.record = std::make_unique<LinkRecord>(c.trace, c.label);
        std::string error;
        int status = kExitNoLink;
        if (!OpenLinkCapture(c, *u.record, &error) || !MakeLinkDevice(c, &u.device, &status, &error)) {
            Failed(board, u.index, status, error);
            return;
        }
        u.host = MakeHostEnd(c.hostPath, &error, false);
        if (u.host == nullptr) {
            Failed(board, u.index, kExitNoLink, error);
            return;
        }
        u.link = std::make_unique<Link>(*u.host, *u.device.ep, c.relay, *u.record);
        u.link->TryOpen(u.link->End(Side::Device), Clock::now());
    }
    std::vector<SteeredDevice> steered;
    for (BuiltinUnit& u : units) {
        BuiltinDevice* device = u.device.builtin;
        steered.push_back({u.index, "builtin", u.link.get(), u.record.get(), &u.host, u.host->Name(),
                           [device] { return device->LastFrame(); }});
        board.Change(u.index, [&](DeviceState& s) {
            s.phase = DeviceState::Phase::Up;
            s.engine = "builtin";
            s.hostEnd = u.host->Name();
        });
    }
    const std::string failed = RunSteeredLinks(steered, mailbox);
    for (BuiltinUnit& u : units) {
        DeviceSummary summary = LinkSummary(*u.link, *u.record);
        summary.endedCleanly = true;  // nothing of it can end on its own
        summary.endError = failed.empty() ? "" : "its link: " + failed;
        u.link.reset();
        u.host.reset();
        board.Change(u.index, [&](DeviceState& s) {
            s.phase = DeviceState::Phase::Ended;
            s.summary = summary;
            s.error = summary.endError;
        });
    }
}

}  // namespace zolhost
