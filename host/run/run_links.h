// What zolhost run does with a program's ports the same on every system: a link per
// port (its device end as asked, its host end where the system's way in wants it),
// the program's port following its device end (gone when that goes, as a pulled
// adapter is; back when it is), and the summaries at the end.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/link/link.h"
#include "host/run/run_program.h"

namespace zolhost {

// What a device end runs on that must end with it, where the system makes it its own
// way (zolemul on Windows: the process, run's own).
struct StartedDevice {
    virtual ~StartedDevice() = default;
};

// A port served to the program and its link.
struct ServedPort {
    std::string path;  // what the program opens
    LinkConfig config;
    std::unique_ptr<LinkRecord> record;
    std::unique_ptr<StartedDevice> started;  // ends after the device end's port goes
    LinkDevice device;
    std::unique_ptr<Endpoint> host;
    std::unique_ptr<Link> link;
    bool cannotPlug = false;  // the port could not be made again: not tried until the device end goes and comes back
};

// Makes a port's device end where the system has its own way for it; nullptr: as a
// link makes it (MakeLinkDevice).
using MakeDevice = std::function<bool(ServedPort& s, int* status, std::string* error)>;

// Makes each port's link: its device end, its capture, and its host end at
// hostEnd(k) (config.hostPath then says where it was made, to be made again at).
// false with the reason said and how to exit in *status.
bool MakeLinks(const RunConfig& c, const std::function<std::string(std::size_t)>& hostEnd,
               std::vector<ServedPort>* served, int* status, const MakeDevice& makeDevice = nullptr);

// Makes the port follow its device end, if it does not: true when its host end
// changed, `touching` called before it did.
bool FollowDevice(ServedPort& s, Clock::time_point now, const std::function<void()>& touching);

// The first link whose port does not follow its device end made to; which it was.
// `touching` is called with it before its host end changes.
std::optional<std::size_t> FollowDevice(std::vector<ServedPort>& served, Clock::time_point now,
                                        const std::function<void(std::size_t)>& touching);

// Some port does not follow its device end yet.
bool Mismatched(std::vector<ServedPort>& served);

// Each link's summary on standard output, under the path it served.
void PrintSummaries(std::vector<ServedPort>& served);

}  // namespace zolhost
