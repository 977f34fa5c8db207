// What zolhost serve tells a harness, as JSON on one line each: where every
// device is (once all are up), and at the end what each device's link counted.
#pragma once

#include <string>
#include <vector>

#include "host/serve/serve.h"
#include "host/serve/serve_device.h"

namespace zolhost {

// {"devices": [{"index", "pty", "rfc2217", "tcp", "engine", "pid", "dir", "options"}, ...],
//  "zolhost_pid", "cores", "control": {"url", "token"}}: the host end a device
// does not have is null; a built-in device's pid is serve's own, its dir null;
// control null when there is no control API, its token null when none is needed.
struct ControlAt {
    std::string url;    // empty: no control API
    std::string token;  // empty: none needed
};
std::string DevicesJson(const ServeConfig& c, const std::vector<DeviceState>& states, unsigned cores,
                        const ControlAt& control = {});

// {"summary": [{"index", "requests", "replies", "forwarded", "dropped", ...}, ...]}.
std::string SummaryJson(const std::vector<DeviceState>& states);

// Writes text to path whole: into a temp file beside it, then renamed over it, so a
// reader finds the old file or the new one, never a part. false with *error.
bool WriteWhole(const std::string& path, const std::string& text, std::string* error);
// Whether WriteWhole could write path now (its temp file is made and removed
// again); false with *error naming path and the system's reason.
bool CanWriteWhole(const std::string& path, std::string* error);

}  // namespace zolhost
