#include "host/serve/serve_report.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>


#if defined(_WIN32)
#include <process.h>
#define ZOL_GETPID _getpid
#else
#include <unistd.h>
#define ZOL_GETPID getpid
#endif

namespace zolhost {

namespace {

using Json = nlohmann::json;

Json OrNull(const std::string& s) {
    return s.empty() ? Json(nullptr) : Json(s);
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

// The link's options as the device runs with them.
Json OptionsJson(const LinkConfig& c) {
    const FaultSettings& f = c.relay.faults;
    return Json{{"pace_baud", c.relay.paceBaud},
                {"drop_pct", f.dropPct},
                {"corrupt_pct", f.corruptPct},
                {"delay_ms", Json::array({f.delayMinMs, f.delayMaxMs})},
                {"split_ms", f.splitGapMs >= 0 ? Json(f.splitGapMs) : Json(nullptr)},
                {"seed", c.relay.seed},
                {"mismatch", c.relay.mismatchWarn ? "warn" : "garble"},
                {"trace", c.trace},
                {"pcap", OrNull(c.pcapPath)}};
}

}  // namespace

std::string DevicesJson(const ServeConfig& c, const std::vector<DeviceState>& states, unsigned cores,
                        const ControlAt& control) {
    Json devices = Json::array();
    for (std::size_t i = 0; i < states.size(); ++i) {
        const DeviceState& s = states[i];
        const bool rfc2217 = StartsWith(s.hostEnd, "rfc2217://");
        const bool tcp = StartsWith(s.hostEnd, "tcp://");
        devices.push_back({{"index", i},
                           {"pty", rfc2217 || tcp ? Json(nullptr) : Json(s.hostEnd)},
                           {"rfc2217", rfc2217 ? Json(s.hostEnd) : Json(nullptr)},
                           {"tcp", tcp ? Json(s.hostEnd) : Json(nullptr)},
                           {"engine", s.engine},
                           // the process that plays the device: its zolemul, or serve itself
                           {"pid", s.engine == "builtin" ? static_cast<std::int64_t>(ZOL_GETPID()) : s.pid},
                           {"dir", OrNull(s.dir)},
                           {"options", OptionsJson(c.devices.at(i).link)}});
    }
    const Json steer = control.url.empty() ? Json(nullptr) : Json{{"url", control.url}, {"token", OrNull(control.token)}};
    return Json{{"devices", devices}, {"zolhost_pid", ZOL_GETPID()}, {"cores", cores}, {"control", steer}}.dump();
}

std::string SummaryJson(const std::vector<DeviceState>& states) {
    Json list = Json::array();
    for (std::size_t i = 0; i < states.size(); ++i) {
        const DeviceState& s = states[i];
        const LinkTally& t = s.summary.tally;
        list.push_back({{"index", i},
                        {"engine", s.engine},
                        {"pid", s.engine == "builtin" ? static_cast<std::int64_t>(ZOL_GETPID()) : s.pid},
                        {"requests", t.goodRequests},
                        {"replies", t.replies},
                        {"forwarded", t.forwarded},
                        {"dropped", t.dropped},
                        {"corrupted", t.corrupted},
                        {"delayed", t.delayed},
                        {"split", t.split},
                        {"unheard", t.unheard},
                        {"bytes_to_device", s.summary.bytesToDevice},
                        {"bytes_to_host", s.summary.bytesToHost},
                        {"bytes_lost", s.summary.lost},
                        {"host_settings", t.host.settings},
                        {"ended_cleanly", s.summary.endedCleanly},
                        {"error", OrNull(s.phase == DeviceState::Phase::Ended ? s.summary.endError : s.error)}});
    }
    return Json{{"summary", list}}.dump();
}

bool WriteWhole(const std::string& path, const std::string& text, std::string* error) {
    const std::string temp = path + ".tmp-" + std::to_string(ZOL_GETPID());
    std::FILE* out = std::fopen(temp.c_str(), "wb");
    const bool written = out != nullptr && std::fwrite(text.data(), 1, text.size(), out) == text.size() &&
                         std::fputc('\n', out) != EOF;
    const int why = errno;
    if (out == nullptr || std::fclose(out) != 0 || !written) {
        *error = "cannot write " + path + ": " + std::strerror(out == nullptr || !written ? why : errno);
        std::remove(temp.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(temp, path, ec);
    if (ec) {
        *error = "cannot write " + path + ": " + ec.message();
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool CanWriteWhole(const std::string& path, std::string* error) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        *error = "cannot write " + path + ": " + std::strerror(EISDIR);
        return false;
    }
    const std::string temp = path + ".tmp-" + std::to_string(ZOL_GETPID());
    std::FILE* probe = std::fopen(temp.c_str(), "wb");
    if (probe == nullptr) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(probe);
    std::remove(temp.c_str());
    return true;
}

}  // namespace zolhost
