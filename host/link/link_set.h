// Many links on one thread: serve's built-in devices, each behind a link of its
// own, all watched by one wait. A link is passed only when something happened on
// one of its ends or its next thing fell due, so a link with nothing to do costs
// nothing, however many there are. One loop per platform (link_set_<platform>.cpp).
#pragma once

#include <vector>

#include "host/link/link.h"

namespace zolhost {

struct LinkUnit {
    Link* link;
    LinkRecord* record;
};

// Runs every link until a stop is requested.
void RunLinks(const std::vector<LinkUnit>& links);

}  // namespace zolhost
