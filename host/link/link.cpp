#include "host/link/link.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "host/base/text.h"
#include "protocol/frame_rules.h"

namespace zolhost {

namespace {

constexpr auto kReopenEvery = std::chrono::milliseconds(Endpoint::kReopenMs);

// What an unplugged end stands on: nothing to watch, read or open.
class NoEndpoint final : public Endpoint {
public:
    explicit NoEndpoint(std::string name) : name_(std::move(name)) {}
    const std::string& Name() const override { return name_; }
    Io Read(std::uint8_t*, std::size_t, std::size_t* got) override {
        *got = 0;
        return Io::WouldBlock;
    }
    Io Write(const std::uint8_t*, std::size_t, std::size_t* taken) override {
        *taken = 0;
        return Io::Failed;
    }
    Io WaitReadable(int, Beside*) override { return Io::Failed; }
    Io WaitWritable(int, Beside*) override { return Io::Failed; }
    int PollFd() const override { return -1; }
    Io Reopen() override { return Io::WouldBlock; }
    std::string WhileGone(const std::string&) const override { return " is unplugged"; }

private:
    std::string name_;
};

// Replies owed past which an unpaced device is given no more requests: with the
// 4096 bytes of a write in progress, well within the output a device holds behind
// a pty (zolemul: 4096 bytes held, a pty takes some 17 KB).
constexpr std::uint64_t kOwedLimit = 6144;
constexpr auto kOwedQuiet = std::chrono::milliseconds(20);

}  // namespace

Link::Link(Endpoint& host, Endpoint& device, const RelayConfig& relay, LinkRecord& record)
    : host_{Side::Host, &host, host.Name()},
      device_{Side::Device, &device, device.Name()},
      relay_(relay, record) {}

void Link::Pass(Clock::time_point now) {
    for (LinkEnd* e : {&host_, &device_}) {
        if (e->state == LinkEnd::State::Closed && now >= e->checkAt) {
            TryOpen(*e, now);
        }
    }
    RoomBack(device_);
    RoomBack(host_);
    Deliver(device_, now);
    Deliver(host_, now);
    // The device first: what it says may leave no room for the host's requests.
    for (LinkEnd* e : {&device_, &host_}) {
        const auto ready = e->ep->ReadyAt();
        if (ready && *ready <= now && e->state == LinkEnd::State::Open && relay_.HasRoom(e->side)) {
            Read(*e, now);
        }
    }
    // An end in memory that was read may have room again: what waits for it goes on.
    for (LinkEnd* e : {&device_, &host_}) {
        if (RoomBack(*e)) {
            Deliver(*e, now);
        }
    }
    relay_.Quiet(now);
}

bool Link::RoomBack(LinkEnd& e) {
    if (!e.waitRoom || !e.ep->RoomNow().value_or(false)) {
        return false;
    }
    e.waitRoom = false;
    return true;
}

bool Link::WantsRead(Side s) const {
    // A closed pty master reports a hang-up at once, for as long as it lasts: it is
    // not watched then.
    return End(s).state != LinkEnd::State::Closed && relay_.HasRoom(s);
}

bool Link::WantsWrite(Side s) const {
    return End(s).state == LinkEnd::State::Open && End(s).waitRoom;
}

std::optional<Clock::time_point> Link::NextWake(const std::function<bool(Side)>& tellsOfRoom) const {
    // An end that took not all it was offered, and whose wait tells when it has
    // room, is written again then: the clock would only spin the loop meanwhile.
    // An end in memory that waits for room gets it as it is read, which wakes the
    // link by itself.
    // Requests held while the device owes replies go on as it answers (its bytes
    // wake the link) or once it has been quiet for kOwedQuiet.
    const bool held = Owing();
    std::optional<Clock::time_point> next = relay_.NextWake([&](Side s) {
        return (s == Side::Device && held) ||
               (WantsWrite(s) && ((tellsOfRoom && tellsOfRoom(s)) || End(s).ep->RoomNow().has_value()));
    });
    auto wakeAt = [&next](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    if (held && relay_.HasRoom(Side::Device)) {
        wakeAt(std::max(lastGiven_, lastHeard_) + kOwedQuiet);
    }
    for (const LinkEnd* e : {&host_, &device_}) {
        if (e->state == LinkEnd::State::Closed) {
            wakeAt(e->checkAt);
        } else if (e->state == LinkEnd::State::Open && relay_.HasRoom(e->side)) {
            // An end with something to read is read once the line has room: it
            // wakes the link only then.
            if (const auto ready = e->ep->ReadyAt()) {
                wakeAt(*ready);
            }
        }
    }
    return next;
}

void Link::Handle(Side s, const EndSeen& seen, Clock::time_point now) {
    LinkEnd& e = End(s);
    if (seen.comeBack || (e.state == LinkEnd::State::Unopened && seen.readable)) {
        TryOpen(e, now);  // an open seen, or bytes from it: something may have it open
    }
    if (seen.busy) {
        e.ep->TurnAway();
    }
    if (e.state != LinkEnd::State::Open) {
        return;
    }
    if (seen.writable) {
        e.waitRoom = false;
    }
    if (seen.readable) {
        if (relay_.HasRoom(s)) {
            Read(e, now);  // else once there is room: the wait tells again (it is level-triggered)
        }
    } else if (seen.gone) {
        Failed(e, seen.hungUp ? "hung up" : "error", now);
    }
}

void Link::TakeNotes(Clock::time_point now) {
    Notes(host_, now);
    Notes(device_, now);
}

void Link::TryOpen(LinkEnd& e, Clock::time_point now) {
    if (e.ep->Reopen() != Io::Done) {
        if (e.state == LinkEnd::State::Closed) {
            e.checkAt = now + kReopenEvery;
        }
        return;
    }
    const bool again = e.state == LinkEnd::State::Closed;
    e.state = LinkEnd::State::Open;
    if (e.side == Side::Device) {
        given_ = heard_ = 0;  // a device opened afresh owes nothing
    }
    Say(e.name + (again ? " opened again" : " opened"));
    relay_.Opened(e.side, e.name, again, now);
}

void Link::Unplug(Side s, Clock::time_point now) {
    LinkEnd& e = End(s);
    if (e.state == LinkEnd::State::Unplugged) {
        return;
    }
    if (e.state == LinkEnd::State::Open) {
        relay_.Closed(e.side, e.name + " unplugged", now);
    }
    relay_.Steered(SteerChangeAt::Kind::Unplug, now);
    e.ep->Unplug();
    e.state = LinkEnd::State::Unplugged;
    e.waitRoom = false;
    e.unfinished = false;
    unplugged_[s == Side::Host ? 0 : 1] = std::make_unique<NoEndpoint>(e.name);
    e.ep = unplugged_[s == Side::Host ? 0 : 1].get();
    Say(e.name + " unplugged");
}

void Link::Plug(Side s, Endpoint& ep, Clock::time_point now) {
    LinkEnd& e = End(s);
    e.ep = &ep;
    e.state = LinkEnd::State::Unopened;
    relay_.Steered(SteerChangeAt::Kind::Plug, now);
    Say(e.name + " plugged");
}

void Link::Failed(LinkEnd& e, const std::string& why, Clock::time_point now) {
    if (e.state != LinkEnd::State::Open) {
        return;
    }
    e.state = LinkEnd::State::Closed;
    relay_.Closed(e.side, e.name + " closed (" + why + ")", now);
    e.waitRoom = false;
    e.unfinished = false;
    e.ep->Close();
    e.checkAt = now + kReopenEvery;
    Say(e.name + e.ep->WhileGone(why));
}

void Link::Read(LinkEnd& e, Clock::time_point now) {
    std::uint8_t buf[4096];
    std::size_t n = 0;
    switch (e.ep->Read(buf, sizeof buf, &n)) {
    case Io::Done: break;
    case Io::WouldBlock: return;
    case Io::HungUp: Failed(e, "hung up", now); return;
    default: Failed(e, e.ep->Error(), now); return;
    }
    // The bytes go on the line from when they were read, not from when the pass
    // began: opening the end, or other ends and links, may have come between, and
    // bytes that came meanwhile would be paced from before they existed.
    now = std::max(now, clock_());
    if (e.side == Side::Host) {
        Notes(e, now);  // a setting the program made before these bytes applies to them
    } else {
        heard_ += n;
        lastHeard_ = now;
    }
    relay_.Take(e.side, buf, n, now);
}

std::uint64_t Link::Owed() const {
    const std::uint64_t owed = given_ / kRequestSize * kReplySize;
    return owed > heard_ ? owed - heard_ : 0;
}

bool Link::Owing() const {
    return relay_.PaceBaud() == 0 && device_.state == LinkEnd::State::Open && Owed() > kOwedLimit;
}

bool Link::HoldsRequests(Clock::time_point now) {
    if (!Owing()) {
        return false;
    }
    // Silence counts only while the link reads the device: its replies may wait unread.
    if (relay_.HasRoom(Side::Device) && now >= std::max(lastGiven_, lastHeard_) + kOwedQuiet) {
        heard_ += Owed();  // it keeps its silence: nothing more is owed
        return false;
    }
    return true;
}

// Writes what has fallen due; a write the end has not finished is finished first,
// once it has room.
void Link::Deliver(LinkEnd& to, Clock::time_point now) {
    std::uint8_t buf[4096];
    while (!to.waitRoom && !(to.side == Side::Device && HoldsRequests(now))) {
        const std::size_t n = relay_.Due(to.side, now, buf, sizeof buf);
        if (n == 0 && !to.unfinished) {
            return;
        }
        if (to.state != LinkEnd::State::Open) {
            relay_.Lose(to.side, n);  // nothing at the far end: the line's bytes fall on the floor
            continue;
        }
        std::size_t taken = 0;
        const Io r = to.ep->Write(buf, n, &taken);
        relay_.Pop(to.side, taken);
        if (to.side == Side::Device && taken > 0) {
            given_ += taken;
            lastGiven_ = now;
        }
        to.unfinished = r == Io::WouldBlock;
        if (r == Io::WouldBlock) {
            to.waitRoom = true;
        } else if (r != Io::Done) {
            Failed(to, to.ep->Error(), now);
        }
    }
}

// What an end's peer did beside the data; for the host end, the line its program set.
void Link::Notes(LinkEnd& e, Clock::time_point now) {
    std::vector<LineNote> notes;
    e.ep->TakeNotes(&notes);
    for (const LineNote& n : notes) {
        relay_.Note(e.side, n, now);
    }
    if (e.side == Side::Host && e.state == LinkEnd::State::Open) {
        relay_.HostLine(e.ep->PeerSettings(), now);
    }
}

}  // namespace zolhost
