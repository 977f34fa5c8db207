// Windows has no ptys for the link's host end; main refuses link before it gets here.
#include "host/cli/commands.h"
#include "host/link/link.h"

namespace zolhost {

int RunLink(const Options&) {
    return kExitUsage;
}

}  // namespace zolhost
