// zolhost serve on Windows: it starts zolemul on ptys, which Windows does not have.
#include "host/base/text.h"
#include "host/serve/serve.h"

namespace zolhost {

int RunServe(const ServeConfig&) {
    Say("serve starts zolemul on virtual links (ptys), which this system does not have");
    return kExitUsage;
}

}  // namespace zolhost
