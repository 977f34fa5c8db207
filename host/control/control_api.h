// serve's control API, apart from HTTP: a request (method, path, body) in, a
// status and a JSON body out. Every device command goes through `ask`, which hands
// it to the thread that runs the device. Who may ask is control_guard.h's; the
// HTTP server around both is control_http.h.
//
//   GET  /api/devices                 every device: its state, counts, faults (with its pace)
//                                      and the latest frame it answered, as its status line
//                                      shows it ("last_frame": "Frame 3 receivedEA:2E, TORA:D1")
//   GET  /api/devices/N               one
//   POST /api/devices/N/faults        {"drop_pct": 10, "corrupt_pct": 0, "delay_ms": [5, 20],
//                                      "split_ms": 2, "pace_baud": 9600}: what is given changes
//                                      ("split_ms": null: whole again; "delay_ms": 5 is [5, 5];
//                                      "pace_baud": 0: not paced)
//   POST /api/devices/N/unplug | plug | freeze | thaw
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "host/control/steering.h"

namespace zolhost {

struct ControlRequest {
    std::string method;
    std::string path;
    std::string body;
};

struct ControlAnswer {
    int status = 200;
    std::string body;  // JSON
    std::string allow;  // 405: the methods the resource takes ("GET", "POST")
};

struct ControlContext {
    std::size_t devices = 0;
    std::function<std::optional<DeviceView>(const SteerCommand&)> ask;  // nothing: no answer in time
};

ControlAnswer AnswerControl(const ControlRequest& r, const ControlContext& c);

// A refusal: {"error": ERROR}.
ControlAnswer ControlError(int status, const std::string& error);

// A device as the API shows it (one object of the JSON).
std::string DeviceViewJson(const DeviceView& v);

}  // namespace zolhost
