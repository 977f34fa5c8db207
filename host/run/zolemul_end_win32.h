// zolemul as a device end of zolhost run on Windows, which has no pty to give it:
// zolemul.exe started with zolhost's DLL, its COM2 an RFC 2217 connection to a
// listener on loopback that is the link's device end.
#pragma once

#include <string>

#include "host/run/run_links.h"

namespace zolhost {

// Makes the port's device end so and starts zolemul (the config's --device-exe, or
// the one beside zolhost.exe), waiting until it has its port open. false with
// *error and the exit status in *status.
bool StartZolemulEnd(ServedPort& s, const std::wstring& dll, int* status, std::string* error);

}  // namespace zolhost
