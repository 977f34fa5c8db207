#include "host/control/control_api.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace zolhost {

namespace {

using Json = nlohmann::json;

// Text of the request (a path, a field's name) may be any bytes: what is not
// UTF-8 is replaced, never thrown over.
std::string Dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json ViewJson(const DeviceView& v) {
    const LinkTally& t = v.tally;
    const FaultSettings& f = v.faults;
    const char* state = !v.plugged ? "unplugged" : v.frozen ? "frozen" : v.hostOpen ? "open" : "waiting";
    return Json{{"index", v.index},
                {"engine", v.engine},
                {"host_end", v.hostEnd},
                {"state", state},
                {"plugged", v.plugged},
                {"frozen", v.frozen},
                {"host_open", v.hostOpen},
                {"requests", t.goodRequests},
                {"replies", t.replies},
                {"faults_applied", t.dropped + t.corrupted + t.delayed + t.split},
                {"last_frame", v.lastFrame},
                {"faults",
                 {{"drop_pct", f.dropPct},
                  {"corrupt_pct", f.corruptPct},
                  {"delay_ms", Json::array({f.delayMinMs, f.delayMaxMs})},
                  {"split_ms", f.splitGapMs >= 0 ? Json(f.splitGapMs) : Json(nullptr)},
                  {"pace_baud", v.paceBaud}}}};
}

// "N" of a path's device part: digits only, below `devices`.
std::optional<std::size_t> DeviceNumber(const std::string& s, std::size_t devices) {
    if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const std::size_t n = std::stoul(s);
    return n < devices ? std::optional<std::size_t>(n) : std::nullopt;
}

// A field's value as a number of its kind; what it needs, in the faults' own
// words, when it is not one. The ranges are the faults' rule's (FaultSettingsFault).
bool Percent(const Json& j, std::optional<double>* out) {
    if (!j.is_number()) {
        return false;
    }
    *out = j.get<double>();
    return true;
}

bool Millis(const Json& j, std::optional<int>* out) {
    // Whole, and no further from the range than an int holds: the rule says the rest.
    if (!j.is_number_integer() || j.get<std::int64_t>() < -1 || j.get<std::int64_t>() > 10 * kMaxFaultMs) {
        return false;
    }
    *out = static_cast<int>(j.get<std::int64_t>());
    return true;
}

// The body of a faults request; empty *error when it reads. Its values are held
// to the faults' one rule here as far as they go alone, and with the device's
// others once it is merged onto them (Steer).
FaultChange ReadFaults(const std::string& body, std::string* error) {
    FaultChange c;
    const Json j = Json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *error = "the body must be a JSON object, such as {\"drop_pct\": 10}";
        return c;
    }
    const FaultNames& names = kFieldNames;
    for (const auto& [key, v] : j.items()) {
        if (key == names.drop || key == names.corrupt) {
            if (!Percent(v, key == names.drop ? &c.dropPct : &c.corruptPct)) {
                *error = key + " needs " + kPercentNeeds;
            }
        } else if (key == names.delay) {
            const bool pair = v.is_array() && v.size() == 2;
            if (!(pair ? Millis(v[0], &c.delayMinMs) && Millis(v[1], &c.delayMaxMs)
                       : Millis(v, &c.delayMinMs) && Millis(v, &c.delayMaxMs))) {
                *error = key + " needs " + kDelayNeeds;
            }
        } else if (key == names.split) {
            if (v.is_null()) {
                c.splitGapMs = -1;
            } else if (!Millis(v, &c.splitGapMs)) {
                *error = key + " needs " + kFaultMsNeeds + ", or null: none";
            }
        } else if (key == "pace_baud") {
            std::uint32_t baud = 0;
            if (!v.is_number_unsigned() || !ParsePaceBaud(std::to_string(v.get<std::uint64_t>()), &baud)) {
                *error = std::string("pace_baud needs ") + kPaceBaudNeeds;
            }
            c.paceBaud = baud;
        } else {
            *error = "unknown field \"" + key + "\": drop_pct, corrupt_pct, delay_ms, split_ms and pace_baud are known";
        }
        if (!error->empty()) {
            return c;
        }
    }
    *error = FaultSettingsFault(ChangedFaults(FaultSettings{}, c), names);
    return c;
}

ControlAnswer NotAllowed(const std::string& error, const char* allow) {
    ControlAnswer a = ControlError(405, error);
    a.allow = allow;
    return a;
}

ControlAnswer Ask(const ControlContext& c, const SteerCommand& cmd) {
    const std::optional<DeviceView> v = c.ask(cmd);
    if (!v) {
        return ControlError(503, "device " + std::to_string(cmd.device) + " did not answer in time (serve is ending?)");
    }
    if (!v->error.empty()) {
        return {v->refused ? 400 : 500, Dump(Json{{"error", v->error}, {"device", ViewJson(*v)}}), {}};
    }
    return {200, Dump(ViewJson(*v)), {}};
}

}  // namespace

ControlAnswer ControlError(int status, const std::string& error) {
    return {status, Dump(Json{{"error", error}}), {}};
}

std::string DeviceViewJson(const DeviceView& v) {
    return Dump(ViewJson(v));
}

ControlAnswer AnswerControl(const ControlRequest& r, const ControlContext& c) {
    const std::string prefix = "/api/devices";
    if (r.path.rfind(prefix, 0) != 0 || (r.path.size() > prefix.size() && r.path[prefix.size()] != '/')) {
        return ControlError(404, "no such resource: " + r.path.substr(0, 200));
    }
    std::string rest = r.path.substr(prefix.size());
    if (rest.empty() || rest == "/") {
        if (r.method != "GET") {
            return NotAllowed("the device list is read with GET", "GET");
        }
        Json list = Json::array();
        for (std::size_t i = 0; i < c.devices; ++i) {
            SteerCommand look;
            look.device = i;
            const std::optional<DeviceView> v = c.ask(look);
            if (!v) {
                return ControlError(503, "device " + std::to_string(i) + " did not answer in time (serve is ending?)");
            }
            list.push_back(ViewJson(*v));
        }
        return {200, Dump(Json{{"devices", list}}), {}};
    }
    rest.erase(0, 1);
    const std::size_t slash = rest.find('/');
    const std::string number = rest.substr(0, slash);
    const std::string action = slash == std::string::npos ? "" : rest.substr(slash + 1);
    const std::optional<std::size_t> device = DeviceNumber(number, c.devices);
    if (!device) {
        return ControlError(404, "no device " + number.substr(0, 20) + " (there are " + std::to_string(c.devices) +
                               ", numbered from 0)");
    }
    SteerCommand cmd;
    cmd.device = *device;
    if (action.empty()) {
        if (r.method != "GET") {
            return NotAllowed("a device is read with GET; it is steered with POST to .../faults, unplug, plug, "
                              "freeze or thaw", "GET");
        }
        return Ask(c, cmd);
    }
    static const std::pair<const char*, SteerCommand::Kind> kActions[] = {
        {"faults", SteerCommand::Kind::Faults}, {"unplug", SteerCommand::Kind::Unplug},
        {"plug", SteerCommand::Kind::Plug},     {"freeze", SteerCommand::Kind::Freeze},
        {"thaw", SteerCommand::Kind::Thaw}};
    const auto* found = std::find_if(std::begin(kActions), std::end(kActions),
                                     [&action](const auto& a) { return action == a.first; });
    if (found == std::end(kActions)) {
        return ControlError(404, "no such control: " + action.substr(0, 40) + " (faults, unplug, plug, freeze, thaw)");
    }
    if (r.method != "POST") {
        return NotAllowed("a device is steered with POST", "POST");
    }
    cmd.kind = found->second;
    if (cmd.kind == SteerCommand::Kind::Faults) {
        std::string error;
        cmd.faults = ReadFaults(r.body, &error);
        if (!error.empty()) {
            return ControlError(400, error);
        }
    }
    return Ask(c, cmd);
}

}  // namespace zolhost
