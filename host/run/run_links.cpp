#include "host/run/run_links.h"

#include <cstdio>

#include "host/base/outcome.h"
#include "host/base/text.h"
#include "host/net/ends.h"

namespace zolhost {

namespace {

enum class Follow { None, Unplug, Plug };

Follow Wanted(ServedPort& s) {
    const LinkEnd::State device = s.link->End(Side::Device).state;
    const bool plugged = s.link->End(Side::Host).state != LinkEnd::State::Unplugged;
    if (device != LinkEnd::State::Open) {
        s.cannotPlug = false;
    }
    if (plugged && (device == LinkEnd::State::Closed || device == LinkEnd::State::Unplugged)) {
        return Follow::Unplug;
    }
    return !plugged && device == LinkEnd::State::Open && !s.cannotPlug ? Follow::Plug : Follow::None;
}

}  // namespace

bool MakeLinks(const RunConfig& c, const std::function<std::string(std::size_t)>& hostEnd,
               std::vector<ServedPort>* served, int* status, const MakeDevice& makeDevice) {
    for (std::size_t k = 0; k < c.ttys.size(); ++k) {
        ServedPort s;
        s.path = c.ttys[k].path;
        s.config = c.ttys[k].link;
        s.config.hostPath = hostEnd(k);
        s.record = std::make_unique<LinkRecord>(s.config.trace, s.config.label);
        std::string error;
        *status = kExitNoLink;
        if (!OpenLinkCapture(s.config, *s.record, &error) ||
            !(makeDevice ? makeDevice(s, status, &error) : MakeLinkDevice(s.config, &s.device, status, &error)) ||
            (s.host = MakeHostEnd(s.config.hostPath, &error, false)) == nullptr) {
            Say(s.path + ": " + error);
            return false;
        }
        s.config.hostPath = s.host->Name();  // a listener on port 0: the port it took, to be taken again
        s.link = std::make_unique<Link>(*s.host, *s.device.ep, s.config.relay, *s.record);
        s.link->End(Side::Host).name = s.path;  // what the program knows it by
        s.link->TryOpen(s.link->End(Side::Device), Clock::now());
        Say("serving " + s.path + " in front of " + s.device.ep->Name());
        served->push_back(std::move(s));
    }
    return true;
}

bool FollowDevice(ServedPort& s, Clock::time_point now, const std::function<void()>& touching) {
    std::string error;
    switch (Wanted(s)) {
    case Follow::None: return false;
    case Follow::Unplug:
        Say(s.path + ": its device end is gone");
        touching();
        UnplugHostEnd(*s.link, s.host, now);
        return true;
    case Follow::Plug:
        touching();
        if (!PlugHostEnd(*s.link, s.host, s.config.hostPath, now, &error)) {
            Say(s.path + ": its device end is back, but the port cannot be: " + error);
            s.cannotPlug = true;
            return false;
        }
        return true;
    }
    return false;
}

std::optional<std::size_t> FollowDevice(std::vector<ServedPort>& served, Clock::time_point now,
                                        const std::function<void(std::size_t)>& touching) {
    for (std::size_t k = 0; k < served.size(); ++k) {
        if (FollowDevice(served[k], now, [&touching, k] { touching(k); })) {
            return k;
        }
    }
    return std::nullopt;
}

bool Mismatched(std::vector<ServedPort>& served) {
    for (ServedPort& s : served) {
        if (Wanted(s) != Follow::None) {
            return true;
        }
    }
    return false;
}

void PrintSummaries(std::vector<ServedPort>& served) {
    for (ServedPort& s : served) {
        std::printf("%s:\n", s.path.c_str());
        PrintSummary(*s.link, *s.record, s.config.relay.seed);
    }
}

}  // namespace zolhost
