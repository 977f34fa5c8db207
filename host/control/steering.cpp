#include "host/control/steering.h"

#include "host/link/link_set.h"

namespace zolhost {

SteerMailbox::SteerMailbox() = default;

SteerMailbox::~SteerMailbox() = default;

std::optional<DeviceView> SteerMailbox::Ask(const SteerCommand& c, std::chrono::milliseconds limit) {
    auto p = std::make_shared<Pending>();
    p->command = c;
    std::unique_lock<Mutex> lock(mutex_);
    if (closed_) {
        return std::nullopt;
    }
    waiting_.push_back(p);
    bell_.Ring();
    if (!answered_.WaitFor(lock, limit, [this, &p] { return p->answer.has_value() || closed_; }) || !p->answer) {
        p->abandoned = true;
        return std::nullopt;
    }
    return p->answer;
}

void SteerMailbox::Close() {
    {
        std::lock_guard<Mutex> lock(mutex_);
        closed_ = true;
    }
    answered_.NotifyAll();
}

std::optional<std::size_t> SteerMailbox::RunOne(const std::function<DeviceView(const SteerCommand&)>& run) {
    std::shared_ptr<Pending> p;
    {
        std::lock_guard<Mutex> lock(mutex_);
        if (waiting_.empty()) {
            // Emptied before it polls quiet again; a command put in since is found now.
            bell_.Clear();
            if (waiting_.empty()) {
                return std::nullopt;
            }
        }
        p = waiting_.front();
        waiting_.pop_front();
        if (p->abandoned) {
            return p->command.device;  // nobody waits for it any more: not done either
        }
    }
    DeviceView v = run(p->command);
    {
        std::lock_guard<Mutex> lock(mutex_);
        p->answer = std::move(v);
    }
    answered_.NotifyAll();
    return p->command.device;
}

DeviceView Steer(SteeredDevice& d, const SteerCommand& c, Clock::time_point now) {
    Link& link = *d.link;
    Relay& relay = link.Relayed();
    LinkEnd& host = link.End(Side::Host);
    std::string error;
    bool refused = false;
    switch (c.kind) {
    case SteerCommand::Kind::Look: break;
    case SteerCommand::Kind::Faults: {
        // Held to the faults' rule as they would be, with what the change leaves as it was.
        const FaultSettings f = ChangedFaults(relay.Faults(), c.faults);
        error = FaultSettingsFault(f, kFieldNames);
        refused = !error.empty();
        if (!refused) {
            relay.SetFaults(f, c.faults.paceBaud.value_or(relay.PaceBaud()), now);
        }
        break;
    }
    case SteerCommand::Kind::Freeze: relay.Freeze(true, now); break;
    case SteerCommand::Kind::Thaw: relay.Freeze(false, now); break;
    case SteerCommand::Kind::Unplug: UnplugHostEnd(link, *d.host, now); break;
    case SteerCommand::Kind::Plug: PlugHostEnd(link, *d.host, d.hostEnd, now, &error); break;
    }
    DeviceView v;
    v.index = d.index;
    v.engine = d.engine;
    v.hostEnd = d.hostEnd;
    v.plugged = host.state != LinkEnd::State::Unplugged;
    v.frozen = relay.Frozen();
    v.hostOpen = host.state == LinkEnd::State::Open;
    v.faults = relay.Faults();
    v.paceBaud = relay.PaceBaud();
    v.tally = d.record->Tally();
    v.lastFrame = d.lastFrame ? d.lastFrame() : std::string();
    v.error = error;
    v.refused = refused;
    return v;
}

std::string RunSteeredLinks(std::vector<SteeredDevice>& devices, SteerMailbox* mailbox,
                            const std::function<bool()>& finished, DrainedTerminal* console) {
    std::vector<LinkUnit> links;
    for (SteeredDevice& d : devices) {
        links.push_back({d.link, d.record});
    }
    LinkSetControl control;
    control.finished = finished;
    if (console != nullptr && console->Fd() >= 0) {
        // Drained as a terminal would be, on this thread: its latest status text is
        // the device's own for the commands answered here.
        control.besideFd = console->Fd();
        control.takeBeside = [console] { return console->TakeWaiting(); };
    }
    if (mailbox != nullptr) {
        control.fd = mailbox->Fd();
        control.next = [&](Clock::time_point now,
                           const std::function<void(std::size_t)>& touching) -> std::optional<std::size_t> {
            std::size_t at = devices.size();
            const std::optional<std::size_t> device = mailbox->RunOne([&](const SteerCommand& c) {
                for (at = 0; at < devices.size() && devices[at].index != c.device; ++at) {
                }
                if (at == devices.size()) {
                    DeviceView v;
                    v.index = c.device;
                    v.error = "no such device on this thread";
                    return v;
                }
                if (c.kind == SteerCommand::Kind::Unplug || c.kind == SteerCommand::Kind::Plug) {
                    touching(at);  // they close and open its host end's descriptors
                }
                return Steer(devices[at], c, now);
            });
            if (!device) {
                return std::nullopt;
            }
            return at;  // past the end when it was for none of these: the loop passes no link
        };
    }
    return RunLinks(links, &control);
}

}  // namespace zolhost
