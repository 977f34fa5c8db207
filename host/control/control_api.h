// serve's control API, apart from HTTP: a request (method, path, query token,
// headers' token, body) in, a status and a JSON body out. Every device command goes
// through `ask`, which hands it to the thread that runs the device. The HTTP server
// around it is control_http.h.
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
    std::string token;  // as the request gave it (a bearer header or ?token=); empty: none
};

struct ControlAnswer {
    int status = 200;
    std::string body;  // JSON
};

struct ControlContext {
    std::size_t devices = 0;
    std::string token;  // required when not empty
    std::function<std::optional<DeviceView>(const SteerCommand&)> ask;  // nothing: no answer in time
};

ControlAnswer AnswerControl(const ControlRequest& r, const ControlContext& c);

// A device as the API shows it (one object of the JSON).
std::string DeviceViewJson(const DeviceView& v);

}  // namespace zolhost
