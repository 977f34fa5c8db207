// zolhost serve on Windows: not built yet (zolemul devices need ptys; the built-in
// devices' loop, link_set.cpp over link_wait_win32.cpp, builds here already).
#include "host/base/text.h"
#include "host/serve/serve.h"

namespace zolhost {

int RunServe(const ServeConfig&) {
    Say("serve is not built for this system yet: zolemul devices need virtual links (ptys), which it does not "
        "have, and built-in devices are served on POSIX systems only for now; use zolhost link with --port");
    return kExitUsage;
}

}  // namespace zolhost
