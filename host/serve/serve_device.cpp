#include "host/serve/serve_device.h"

#include <memory>

#include "host/base/system.h"
#include "host/net/ends.h"

namespace zolhost {

void DeviceBoard::Change(std::size_t index, const std::function<void(DeviceState&)>& change) {
    const std::lock_guard<std::mutex> lock(mutex_);
    change(states_.at(index));
}

std::vector<DeviceState> DeviceBoard::Snapshot() const {
    const std::lock_guard<std::mutex> lock(mutex_);
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

// Runs the link until a stop is requested or zolemul ends on its own (it
// hangs up its port then, so the link looks at it again every kReopenMs); ends
// zolemul. Empty, or why zolemul ended on its own.
std::string RunUntilStopped(Link& link, LinkRecord& record, EmulatorProcess& emulator, DeviceSummary* summary) {
    std::string why;
    while (!StopRequested()) {
        if (link.End(Side::Device).state != LinkEnd::State::Open && !emulator.Running()) {
            emulator.End(&why);  // "ended (status N) before its key press"
            why = "zolemul (pid " + std::to_string(emulator.Pid()) + ") " + why;
            break;
        }
        link.Pass(Clock::now());
        WaitAndRecord(link, record, std::nullopt);
    }
    const LinkTally& t = record.Tally();
    summary->tally = t;
    const Relay& r = link.Relayed();
    summary->bytesToDevice = r.CountsToward(Side::Device).bytes;
    summary->bytesToHost = r.CountsToward(Side::Host).bytes;
    summary->lost = r.CountsToward(Side::Device).lost + r.CountsToward(Side::Host).lost;
    summary->endedCleanly = why.empty() && emulator.End(&summary->endError);
    if (!why.empty()) {
        summary->endError = why;
    }
    return why;
}

}  // namespace

void ServeDevice(const LinkConfig& c, std::size_t index, DeviceBoard& board) {
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
        const std::unique_ptr<Endpoint> host = MakeHostEnd(c.hostPath, &error, false);
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
        endedOnItsOwn = RunUntilStopped(link, record, *device.emulator, &summary);
    }  // the host end, zolemul's port and its directory are gone now
    board.Change(index, [&](DeviceState& s) {
        s.phase = DeviceState::Phase::Ended;
        s.error = endedOnItsOwn;
        s.summary = summary;
    });
}

}  // namespace zolhost
