// Many links on one thread: serve's built-in devices, each behind a link of its
// own, all watched by one wait. A link is passed only when something happened on
// one of its ends or its next thing fell due, so a link with nothing to do costs
// nothing, however many there are. One loop per platform (link_set_<platform>.cpp).
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/link/link.h"

namespace zolhost {

struct LinkUnit {
    Link* link;
    LinkRecord* record;
};

// Commands for the links from another thread, run on the links' own: `fd` polls
// readable while some wait; `next` runs one of them and says which link it
// steered (nothing: none was left). `finished`, looked at after every round: the
// links end before a stop is requested.
struct LinkSetControl {
    int fd = -1;
    // Runs the next command that waits: the link it was for (past the end: none of
    // these), nothing when none waits. It calls `touching` with the link before the
    // command touches it, while the link's descriptors are still open.
    std::function<std::optional<std::size_t>(Clock::time_point, const std::function<void(std::size_t)>& touching)> next;
    std::function<bool()> finished;
    // Beside the links: a descriptor that polls readable when something of theirs
    // waits to be taken (zolemul's console), and what takes it; false once nothing
    // more can come, and it is watched no more. -1: none.
    int besideFd = -1;
    std::function<bool()> takeBeside;
};

// Runs every link until a stop is requested (or control->finished says so), or
// the system's wait fails for good: then why (empty: they ended as asked).
std::string RunLinks(const std::vector<LinkUnit>& links, const LinkSetControl* control = nullptr);

}  // namespace zolhost
