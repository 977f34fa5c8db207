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

// Makes the host end and, when `announce`, says on standard error how to open it
// and puts a listener's URL alone on one line of standard output, for scripts to
// wait for (serve says what it made for all its devices at once). nullptr with
// *error.
std::unique_ptr<Endpoint> MakeHostEnd(const std::string& hostPath, std::string* error, bool announce = true);

}  // namespace zolhost
