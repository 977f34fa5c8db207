// The endpoints zolhost opens by name: the device end --port names (a serial port,
// or rfc2217:// and tcp:// URLs of a device on the network), and the host end of
// zolhost link (a pty made at HOSTPATH, or a URL to listen on).
#pragma once

#include <memory>
#include <string>

#include "host/transport/endpoint.h"

namespace zolhost {

// Opens the device end; connecting takes at most timeoutMs. nullptr with *error.
std::unique_ptr<Endpoint> OpenDeviceEnd(const std::string& port, int timeoutMs, std::string* error);

// Makes the host end and says on standard error how to open it; a listener's URL
// goes alone on one line of standard output, for scripts to wait for. nullptr with
// *error.
std::unique_ptr<Endpoint> MakeHostEnd(const std::string& hostPath, std::string* error);

}  // namespace zolhost
