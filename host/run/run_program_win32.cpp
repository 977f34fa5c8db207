// zolhost run on Windows: no way in yet to hand a program a port it did not ask
// zolhost for.
#include "host/base/outcome.h"
#include "host/base/text.h"
#include "host/run/run_program.h"

namespace zolhost {

int RunProgram(const RunConfig&) {
    Say("run is for Linux: on Windows, give your program a port of zolhost link or serve");
    return kExitUsage;
}

}  // namespace zolhost
