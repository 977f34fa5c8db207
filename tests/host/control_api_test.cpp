// serve's control API on requests made by hand: what each route does to which
// device, what it refuses and why, and hostile input that must end in a refusal,
// never in a crash or a command.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <random>
#include <tuple>
#include <string>
#include <vector>

#include "host/cli/options.h"
#include "host/control/control_api.h"
#include "host/link/relay.h"

namespace zolhost {
namespace {

using Json = nlohmann::json;

// A context over `devices` devices whose threads answer at once, keeping what
// they were asked.
struct Api {
    explicit Api(std::size_t devices) {
        context.devices = devices;
        context.ask = [this](const SteerCommand& c) -> std::optional<DeviceView> {
            asked.push_back(c);
            if (silent) {
                return std::nullopt;
            }
            DeviceView v;
            v.index = c.device;
            v.plugged = c.kind != SteerCommand::Kind::Unplug;
            v.frozen = c.kind == SteerCommand::Kind::Freeze;
            v.faults.dropPct = c.faults.dropPct.value_or(0);
            return v;
        };
    }
    ControlAnswer Do(const std::string& method, const std::string& path, const std::string& body = {}) {
        return AnswerControl({method, path, body}, context);
    }
    ControlContext context;
    std::vector<SteerCommand> asked;
    bool silent = false;
};

TEST(ControlApi, RoutesEachControlToItsDeviceAndReadsPartialFaults) {
    Api api(3);
    const ControlAnswer list = api.Do("GET", "/api/devices");
    ASSERT_EQ(list.status, 200);
    EXPECT_EQ(Json::parse(list.body)["devices"].size(), 3u);
    api.asked.clear();

    const ControlAnswer unplug = api.Do("POST", "/api/devices/2/unplug");
    EXPECT_EQ(unplug.status, 200);
    EXPECT_EQ(Json::parse(unplug.body)["state"], "unplugged");
    ASSERT_EQ(api.asked.size(), 1u);
    EXPECT_EQ(api.asked[0].device, 2u);
    EXPECT_EQ(api.asked[0].kind, SteerCommand::Kind::Unplug);

    EXPECT_EQ(api.Do("POST", "/api/devices/1/faults", R"({"drop_pct": 12.5, "delay_ms": 7, "split_ms": null})").status,
              200);
    const FaultChange& f = api.asked.back().faults;
    EXPECT_EQ(f.dropPct, 12.5);
    EXPECT_FALSE(f.corruptPct.has_value());  // not given: stays as it is
    EXPECT_EQ(f.delayMinMs, 7);
    EXPECT_EQ(f.delayMaxMs, 7);
    EXPECT_EQ(f.splitGapMs, -1);
    EXPECT_EQ(api.Do("POST", "/api/devices/0/faults", R"({"delay_ms": [2, 9]})").status, 200);
    EXPECT_EQ(api.asked.back().faults.delayMaxMs, 9);
    EXPECT_FALSE(api.asked.back().faults.paceBaud.has_value());
    for (const std::uint32_t baud : {0u, 50u, 9600u, 4000000u}) {
        EXPECT_EQ(api.Do("POST", "/api/devices/0/faults", "{\"pace_baud\": " + std::to_string(baud) + "}").status, 200);
        EXPECT_EQ(api.asked.back().faults.paceBaud, baud);
    }
}

TEST(ControlApi, RefusesBadRequestsSayingWhyAndAsksNoDevice) {
    Api api(2);
    const std::vector<std::pair<std::string, std::string>> bad400 = {
        {"", "JSON object"},
        {"[]", "JSON object"},
        {"{\"drop_pct\": 101}", "drop_pct"},
        {"{\"drop_pct\": -1}", "drop_pct"},
        {"{\"drop_pct\": \"10\"}", "drop_pct"},
        {"{\"corrupt_pct\": null}", "corrupt_pct"},
        {"{\"delay_ms\": [9, 2]}", "delay_ms"},
        {"{\"delay_ms\": [1, 2, 3]}", "delay_ms"},
        {"{\"delay_ms\": 1.5}", "delay_ms"},
        {"{\"delay_ms\": 99999999999}", "delay_ms"},
        {"{\"split_ms\": -2}", "split_ms"},
        {"{\"pace\": 9600}", "unknown field"},
        {"{\"pace_baud\": 49}", "pace_baud"},
        {"{\"pace_baud\": 4000001}", "pace_baud"},
        {"{\"pace_baud\": -9600}", "pace_baud"},
        {"{\"pace_baud\": 9600.5}", "pace_baud"},
        {"{\"pace_baud\": 99999999999999999999}", "pace_baud"},
        {"{\"drop_pct\": 1", "JSON object"},
    };
    for (const auto& [body, says] : bad400) {
        const ControlAnswer a = api.Do("POST", "/api/devices/0/faults", body);
        EXPECT_EQ(a.status, 400) << body;
        EXPECT_NE(Json::parse(a.body)["error"].get<std::string>().find(says), std::string::npos) << body << a.body;
    }
    for (const char* path : {"/api/devices/2", "/api/devices/-1", "/api/devices/1x", "/api/devices/99999999999",
                             "/api/devices/0/explode", "/api/devicesX", "/api", "/etc/passwd", "/api/devices//unplug"}) {
        EXPECT_EQ(api.Do("POST", path).status, 404) << path;
    }
    // A method a resource does not take is 405 with the ones it does.
    const std::vector<std::tuple<std::string, std::string, std::string>> wrongMethod = {
        {"GET", "/api/devices/0/unplug", "POST"}, {"PUT", "/api/devices/0/faults", "POST"},
        {"DELETE", "/api/devices/1", "GET"},      {"DELETE", "/api/devices", "GET"}};
    for (const auto& [method, path, allow] : wrongMethod) {
        const ControlAnswer a = api.Do(method, path, "{\"drop_pct\": 100}");
        EXPECT_EQ(a.status, 405) << method << " " << path;
        EXPECT_EQ(a.allow, allow) << method << " " << path;
    }
    EXPECT_TRUE(api.asked.empty());

    api.silent = true;  // the device's thread has ended
    EXPECT_EQ(api.Do("POST", "/api/devices/0/freeze").status, 503);
    EXPECT_EQ(api.Do("GET", "/api/devices").status, 503);
}

// Fault values given on the command line, to the API and in a capture's tags meet
// one rule: what one refuses, all refuse, in the same words, each with its own
// names for the values.
TEST(ControlApi, FaultValuesMeetTheCommandLinesAndTheCapturesRule) {
    struct Case {
        const char *drop, *corrupt, *delayMin, *delayMax, *split;
        const char* refusal;  // empty: taken
    };
    const Case cases[] = {
        {"60", "60", "0", "0", "-1", "share the replies: together at most 100%"},
        {"50", "50", "0", "0", "-1", ""},
        {"12.5", "0", "2", "9", "60000", ""},
        {"101", "0", "0", "0", "-1", "needs a percentage (0-100)"},
        {"0", "-1", "0", "0", "-1", "needs a percentage (0-100)"},
        {"0", "0", "9", "2", "-1", "needs milliseconds (0-60000), one number or the least and the most"},
        {"0", "0", "0", "60001", "-1", "needs milliseconds (0-60000), one number or the least and the most"},
        {"0", "0", "0", "0", "60001", "needs milliseconds (0-60000)"},
    };
    for (const Case& c : cases) {
        const std::string delay = std::string(c.delayMin) + "-" + c.delayMax;
        const std::vector<const char*> args = {"zolhost", "--virtual", "link", "hp",   "--drop",  c.drop,   "--corrupt",
                                               c.corrupt, "--delay",   delay.c_str(), "--split", c.split};
        Options o;
        std::string cli;
        ParseOptions(static_cast<int>(args.size()), args.data(), &o, &cli);

        Api api(1);
        const std::string body = std::string("{\"drop_pct\": ") + c.drop + ", \"corrupt_pct\": " + c.corrupt +
                                 ", \"delay_ms\": [" + c.delayMin + ", " + c.delayMax + "], \"split_ms\": " + c.split + "}";
        const ControlAnswer a = api.Do("POST", "/api/devices/0/faults", body);
        const std::string field = a.status == 200 ? "" : Json::parse(a.body)["error"].get<std::string>();

        const std::string fields = std::string("drop=") + c.drop + " corrupt=" + c.corrupt + " delay=" + delay +
                                   " split=" + c.split;
        FaultChangeAt change;
        const bool tagTaken = ParseFaultChangeTag("zol-faults from=0 pace=0 " + fields, &change);
        RelayConfig header;
        std::string headerWhy;
        const bool headerTaken =
            ParseRelayConfigTag("zol-link 2 pace=0 " + fields + " seed=1 mismatch=garble", &header, &headerWhy);

        const std::string said = std::string(c.drop) + "/" + c.corrupt + "/" + delay + "/" + c.split;
        if (*c.refusal == '\0') {
            EXPECT_EQ(cli, "") << said;
            EXPECT_EQ(a.status, 200) << said << field;
            EXPECT_TRUE(tagTaken && headerTaken) << said << headerWhy;
            continue;
        }
        EXPECT_NE(cli.find(c.refusal), std::string::npos) << said << ": " << cli;
        EXPECT_EQ(a.status, 400) << said;
        EXPECT_TRUE(api.asked.empty()) << said;
        EXPECT_FALSE(tagTaken) << said;
        EXPECT_FALSE(headerTaken) << said;
        // The same words, with each way's own names.
        std::string asField = cli;
        for (const auto& [option, name] : {std::pair{"--drop", "drop_pct"}, {"--corrupt", "corrupt_pct"},
                                           {"--delay", "delay_ms"}, {"--split", "split_ms"}}) {
            for (std::size_t at; (at = asField.find(option)) != std::string::npos;) {
                asField.replace(at, std::string(option).size(), name);
            }
        }
        EXPECT_EQ(field, asField) << said;
    }
}

// Hostile input, seeded: random and mutated paths and bodies, and deep nesting.
// Every answer is a refusal or a command of a known kind for a device that exists,
// always with a JSON body.
TEST(ControlApi, HostileRequestsEndInRefusalsNeverInACrash) {
    Api api(4);
    std::mt19937 rng(37);
    const std::vector<std::string> paths = {"/api/devices", "/api/devices/3/faults", "/api/devices/1/plug",
                                            "/api/devices/0"};
    const std::string good = R"({"drop_pct": 10, "corrupt_pct": 5, "delay_ms": [1, 4], "split_ms": 2})";
    auto mutate = [&rng](std::string s) {
        for (int k = static_cast<int>(rng() % 4); k >= 0 && !s.empty(); --k) {
            s[rng() % s.size()] = static_cast<char>(rng() % 256);
        }
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        const std::string path = i % 3 == 0 ? mutate(paths[rng() % paths.size()]) : paths[rng() % paths.size()];
        std::string body = i % 2 == 0 ? mutate(good) : std::string(rng() % 64, '\0');
        if (i % 2 == 1) {
            for (char& c : body) {
                c = static_cast<char>(rng() % 256);
            }
        }
        const ControlAnswer a = api.Do(i % 5 == 0 ? "GET" : "POST", path, body);
        ASSERT_TRUE(a.status == 200 || a.status == 400 || a.status == 404 || a.status == 405) << a.status;
        ASSERT_FALSE(Json::parse(a.body, nullptr, false).is_discarded()) << a.body;
    }
    for (const SteerCommand& c : api.asked) {
        ASSERT_LT(c.device, 4u);
    }
    const std::string deep = std::string(4000, '[') + std::string(4000, ']');
    EXPECT_EQ(api.Do("POST", "/api/devices/0/faults", deep).status, 400);
    EXPECT_EQ(api.Do("POST", "/api/devices/0/faults", "{\"drop_pct\": " + deep + "}").status, 400);
}

}  // namespace
}  // namespace zolhost
