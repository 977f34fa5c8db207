#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/cli/options.h"
#include "host/cli/run_options.h"
#include "host/cli/serve_options.h"

namespace {

using namespace zolhost;

bool Parse(std::vector<const char*> args, Options* o, std::string* error) {
    args.insert(args.begin(), "zolhost");
    return ParseOptions(static_cast<int>(args.size()), args.data(), o, error);
}

std::string ErrorOf(std::vector<const char*> args) {
    Options o;
    std::string error;
    EXPECT_FALSE(Parse(args, &o, &error));
    return error;
}

TEST(Options, VirtualWithAndWithoutDirectory) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"--virtual", "ping"}, &o, &e)) << e;
    EXPECT_EQ(o.device, DeviceKind::Virtual);
    EXPECT_EQ(o.dir, ".");
    EXPECT_EQ(o.command, Command::Ping);

    Options p;
    ASSERT_TRUE(Parse({"--virtual", "/tmp/x", "--trace", "drive", "--rate", "50", "--count", "7"}, &p, &e)) << e;
    EXPECT_EQ(p.dir, "/tmp/x");
    EXPECT_TRUE(p.trace);
    EXPECT_EQ(p.command, Command::Drive);
    EXPECT_EQ(p.rate, 50);
    EXPECT_EQ(p.count, 7u);
}

TEST(Options, PingDataBytes) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"--port", "/dev/ttyUSB0", "ping", "5a"}, &o, &e)) << e;
    EXPECT_EQ(o.data[0], 0x5A);
    EXPECT_EQ(o.data[1], 0);
    Options p;
    ASSERT_TRUE(Parse({"--port", "COM3", "ping", "1", "2", "0x03", "ff"}, &p, &e)) << e;
    EXPECT_EQ(p.port, "COM3");
    EXPECT_EQ(p.data[0], 1);
    EXPECT_EQ(p.data[3], 0xFF);
    EXPECT_NE(ErrorOf({"--port", "x", "ping", "1", "2"}), "");
    EXPECT_NE(ErrorOf({"--port", "x", "ping", "1", "2", "3", "4", "5"}), "");
    EXPECT_NE(ErrorOf({"--port", "x", "ping", "zz"}).find("zz"), std::string::npos);
}

TEST(Options, BenchOptions) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"--virtual", "bench", "--frames", "500", "--window", "4", "--noise", "12.5", "--json",
                       "--baseline", "--pace", "9600"},
                      &o, &e))
        << e;
    EXPECT_EQ(o.frames, 500u);
    EXPECT_EQ(o.window, 4u);
    EXPECT_EQ(o.noisePct, 12.5);
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.baseline);
    EXPECT_EQ(o.paceBaud, 9600u);
    EXPECT_FALSE(o.spawn);

    // zolhost starts the device itself: no link option, --device-exe implies --spawn.
    Options s;
    ASSERT_TRUE(Parse({"bench", "--device-exe", "/opt/zolemul", "--rounds", "3", "--seconds", "2.5", "--baseline"}, &s, &e))
        << e;
    EXPECT_TRUE(s.spawn);
    EXPECT_EQ(s.deviceExe, "/opt/zolemul");
    EXPECT_EQ(s.rounds, 3u);
    EXPECT_EQ(s.pipelinedSeconds, 2.5);
}

TEST(Options, LinkAndItsFaults) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"--virtual", "/tmp/x", "--pace", "0", "link", "./hostport", "--delay", "5-20", "--drop", "10",
                       "--corrupt", "2.5", "--split", "0", "--seed", "9"},
                      &o, &e))
        << e;
    EXPECT_EQ(o.command, Command::Link);
    EXPECT_EQ(o.dir, "/tmp/x");
    EXPECT_EQ(o.hostPath, "./hostport");
    EXPECT_TRUE(o.paceGiven);
    EXPECT_EQ(o.paceBaud, 0u);
    EXPECT_EQ(o.faults.delayMinMs, 5);
    EXPECT_EQ(o.faults.delayMaxMs, 20);
    EXPECT_EQ(o.faults.dropPct, 10);
    EXPECT_EQ(o.faults.corruptPct, 2.5);
    EXPECT_EQ(o.faults.splitGapMs, 0);
    EXPECT_EQ(o.seed, 9u);

    Options p;
    ASSERT_TRUE(Parse({"--virtual", "link", "hp", "--delay", "7"}, &p, &e)) << e;
    EXPECT_EQ(p.dir, ".");
    EXPECT_FALSE(p.paceGiven);
    EXPECT_EQ(p.faults.delayMinMs, 7);
    EXPECT_EQ(p.faults.delayMaxMs, 7);
    EXPECT_EQ(p.faults.splitGapMs, -1);

    EXPECT_NE(ErrorOf({"--virtual", "link"}).find("HOSTPATH"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "link", "a", "b"}).find("unexpected argument b"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "link", "dir/"}).find("not a directory"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "link", "hp", "--delay", "20-5"}).find("--delay"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "link", "hp", "--delay", "5-"}).find("--delay"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "link", "hp", "--drop", "60", "--corrupt", "50"}).find("100%"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "ping", "--drop", "5"}).find("--drop"), std::string::npos);
}

TEST(Options, UsageErrors) {
    EXPECT_NE(ErrorOf({}), "");
    EXPECT_NE(ErrorOf({"--virtual"}).find("no command"), std::string::npos);
    EXPECT_NE(ErrorOf({"ping"}).find("--virtual"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", ".", "frobnicate"}).find("unknown command frobnicate"), std::string::npos);
    // A mistyped command right after --virtual is taken for its directory.
    EXPECT_NE(ErrorOf({"--virtual", "pnig"}).find("after --virtual pnig"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "--port", "x", "ping"}), "");
    EXPECT_NE(ErrorOf({"--port"}), "");
    EXPECT_NE(ErrorOf({"--port", "x", "bench", "--baseline"}).find("--virtual"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "ping", "--rate", "5"}).find("--rate"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "drive", "--rate", "0"}), "");
    EXPECT_NE(ErrorOf({"--virtual", "drive", "--rate", "abc"}), "");
    EXPECT_NE(ErrorOf({"--virtual", "bench", "--window", "0"}), "");
    EXPECT_NE(ErrorOf({"--virtual", "bench", "--noise", "101"}), "");
    EXPECT_NE(ErrorOf({"--virtual", "bench", "--frames", "-3"}), "");
    EXPECT_NE(ErrorOf({"--virtual", "--pace", "10", "ping"}), "");
    EXPECT_NE(ErrorOf({"--virtual", "drive", "extra"}), "");
    EXPECT_NE(ErrorOf({"--virtual", "bench", "--spawn"}).find("leave out --virtual"), std::string::npos);
    EXPECT_NE(ErrorOf({"bench"}).find("--virtual"), std::string::npos);
    EXPECT_NE(ErrorOf({"bench", "--spawn", "--rounds", "0"}), "");
    EXPECT_NE(ErrorOf({"bench", "--spawn", "--seconds", "0"}), "");
}

// An option the device's engine cannot honour is refused, saying why, or names the
// engine that can: --device-exe, a zolemul, serves zolemul where no engine is said.
TEST(Options, EachEngineTakesOnlyTheOptionsItHonours) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"serve", "--devices", "2", "--device-exe", "/opt/zolemul"}, &o, &e)) << e;
    for (const ServedDevice& d : ServeConfigOf(o).devices) {
        EXPECT_EQ(d.link.device, LinkConfig::DeviceEnd::Spawn);
        EXPECT_EQ(d.link.deviceExe, "/opt/zolemul");
    }
    Options mixed;
    ASSERT_TRUE(Parse({"serve", "--devices", "2", "--device-exe", "/opt/zolemul", "--on", "0:--engine builtin"}, &mixed, &e))
        << e;
    EXPECT_EQ(ServeConfigOf(mixed).devices[0].link.device, LinkConfig::DeviceEnd::Builtin);
    EXPECT_EQ(ServeConfigOf(mixed).devices[1].link.device, LinkConfig::DeviceEnd::Spawn);
    Options plain;
    ASSERT_TRUE(Parse({"serve", "--devices", "1"}, &plain, &e)) << e;
    EXPECT_EQ(ServeConfigOf(plain).devices[0].link.device, LinkConfig::DeviceEnd::Builtin);

    EXPECT_NE(ErrorOf({"serve", "--devices", "2", "--engine", "builtin", "--device-exe", "/opt/zolemul"})
                  .find("every device here is built into zolhost"),
              std::string::npos);
    EXPECT_NE(ErrorOf({"serve", "--devices", "1", "--device-exe", "z", "--on", "0:--engine builtin"}).find("--device-exe"),
              std::string::npos);
    EXPECT_NE(ErrorOf({"link", "--builtin", "--device-exe", "/opt/zolemul", "h"}).find("--device-exe"), std::string::npos);
    EXPECT_NE(ErrorOf({"--timeout", "5", "link", "--builtin", "h"}).find("--port URL"), std::string::npos);
    EXPECT_NE(ErrorOf({"--timeout", "5", "link", "--spawn", "h"}).find("--port URL"), std::string::npos);
    Options waits;  // a bound the built-in device, there at once, meets
    ASSERT_TRUE(Parse({"--wait", "5", "link", "--builtin", "h"}, &waits, &e)) << e;
    Options net;
    ASSERT_TRUE(Parse({"--port", "rfc2217://10.0.0.2:4000", "--timeout", "500", "link", "h"}, &net, &e)) << e;
    EXPECT_EQ(LinkConfigOf(net).timeoutMs, 500);
}

TEST(Options, HelpAndVersionNeedNoCommand) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"--help"}, &o, &e));
    EXPECT_TRUE(o.help);
    EXPECT_NE(std::string(UsageText()).find("--virtual"), std::string::npos);
    EXPECT_NE(std::string(UsageText()).find("--version"), std::string::npos);

    Options v;
    ASSERT_TRUE(Parse({"--version"}, &v, &e)) << e;
    EXPECT_TRUE(v.version);
    Options w;
    ASSERT_TRUE(Parse({"--virtual", "--version"}, &w, &e)) << e;
    EXPECT_TRUE(w.version);
}

TEST(Options, ServeGivesEachDeviceItsOwnOptions) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"--pace", "0", "serve", "--devices", "4", "--drop", "5", "--seed", "9", "--pcap", "c{}.pcapng",
                       "--on", "1-2:--host pty --drop 10 --delay 3-4", "--on", "2:--seed 7 --pace 9600 --mismatch warn", "--on", "3:--engine zolemul"},
                      &o, &e))
        << e;
    const ServeConfig c = ServeConfigOf(o);
    ASSERT_EQ(c.devices.size(), 4u);
    const LinkConfig& first = c.devices[0].link;
    EXPECT_EQ(first.device, LinkConfig::DeviceEnd::Builtin);  // the default engine
    EXPECT_EQ(c.devices[3].link.device, LinkConfig::DeviceEnd::Spawn);
    EXPECT_EQ(c.devices[0].host, "rfc2217");
    EXPECT_EQ(first.relay.faults.dropPct, 5);
    EXPECT_EQ(first.relay.paceBaud, 0u);
    EXPECT_EQ(first.pcapPath, "c0.pcapng");
    EXPECT_EQ(c.devices[1].host, "pty");
    EXPECT_EQ(c.devices[1].link.relay.faults.dropPct, 10);
    EXPECT_EQ(c.devices[1].link.relay.faults.delayMaxMs, 4);
    EXPECT_EQ(c.devices[1].link.relay.seed, 9u);
    const LinkConfig& third = c.devices[2].link;
    EXPECT_EQ(third.relay.seed, 7u);
    EXPECT_EQ(third.relay.faults.dropPct, 10);  // from the --on before
    EXPECT_EQ(third.relay.paceBaud, 9600u);
    EXPECT_TRUE(third.relay.mismatchWarn);
    EXPECT_FALSE(c.devices[3].link.relay.mismatchWarn);
    EXPECT_EQ(c.devices[3].link.pcapPath, "c3.pcapng");

    Options p;
    ASSERT_TRUE(Parse({"serve", "--devices", "3", "--host", "rfc2217://0.0.0.0:4000", "--on", "2:--host tcp://:5000"},
                      &p, &e))
        << e;
    const ServeConfig lab = ServeConfigOf(p);
    EXPECT_EQ(lab.devices[0].host, "rfc2217://0.0.0.0:4000");
    EXPECT_EQ(lab.devices[1].host, "rfc2217://0.0.0.0:4001");
    EXPECT_EQ(lab.devices[2].host, "tcp://:5000");

    EXPECT_NE(ErrorOf({"serve"}).find("--devices"), std::string::npos);
    EXPECT_NE(ErrorOf({"serve", "--devices", "2", "--on", "2:--drop 1"}).find("devices 0 to 1"), std::string::npos);
    EXPECT_NE(ErrorOf({"serve", "--devices", "2", "--on", "0:--drop 200"}).find("--drop"), std::string::npos);
    EXPECT_NE(ErrorOf({"serve", "--devices", "2", "--on", "x:--drop 1"}).find("DEVICES:OPTIONS"), std::string::npos);
    EXPECT_NE(ErrorOf({"serve", "--devices", "2", "--pcap", "one.pcapng"}).find("{}"), std::string::npos);
    EXPECT_NE(ErrorOf({"serve", "--devices", "2", "--engine", "qemu"}).find("builtin or zolemul"), std::string::npos);
    EXPECT_NE(ErrorOf({"link", "--builtin", "--spawn", "h"}).find("leave out"), std::string::npos);
    EXPECT_NE(ErrorOf({"--virtual", "serve", "--devices", "1"}).find("leave out --virtual"), std::string::npos);
}

// The program's own arguments are its own, options and all, with or without --;
// zolhost's before it are read as usual.
TEST(Options, RunSetsTheProgramApart) {
    Options o;
    std::string e;
    ASSERT_TRUE(Parse({"--trace", "run", "--tty", "/dev/ttyUSB0=builtin", "--drop", "5", "--tty",
                       "/dev/ttyS1=tcp://127.0.0.1:4000", "python3", "-h", "--port", "x", "--", "--version"},
                      &o, &e))
        << e;
    EXPECT_EQ(o.command, Command::Run);
    EXPECT_FALSE(o.help);
    EXPECT_FALSE(o.version);
    EXPECT_TRUE(o.trace);
    EXPECT_EQ(o.faults.dropPct, 5);
    EXPECT_EQ(o.program, (std::vector<std::string>{"python3", "-h", "--port", "x", "--", "--version"}));
    const RunConfig c = RunConfigOf(o);
    ASSERT_EQ(c.ttys.size(), 2u);
    EXPECT_EQ(c.ttys[0].path, "/dev/ttyUSB0");
    EXPECT_EQ(c.ttys[0].link.device, LinkConfig::DeviceEnd::Builtin);
    EXPECT_EQ(c.ttys[1].link.device, LinkConfig::DeviceEnd::Port);
    EXPECT_EQ(c.ttys[1].link.port, "tcp://127.0.0.1:4000");
    EXPECT_EQ(c.ttys[1].link.relay.paceBaud, 0u);  // an end elsewhere sets its own pace

    Options p;
    ASSERT_TRUE(Parse({"run", "--tty=/dev/ttyUSB0=zolemul", "--", "--weird-name", "--tty"}, &p, &e)) << e;
    EXPECT_EQ(p.program, (std::vector<std::string>{"--weird-name", "--tty"}));
    EXPECT_EQ(RunConfigOf(p).ttys.at(0).link.device, LinkConfig::DeviceEnd::Spawn);

    EXPECT_NE(ErrorOf({"run", "--tty", "/dev/ttyUSB0=builtin"}).find("PROGRAM"), std::string::npos);
    EXPECT_NE(ErrorOf({"run", "true"}).find("--tty"), std::string::npos);
    EXPECT_NE(ErrorOf({"run", "--com", "COM2=builtin", "true"}).find("--com is for Windows"), std::string::npos);
    EXPECT_NE(ErrorOf({"run", "--tty", "ttyUSB0=builtin", "true"}).find("full path"), std::string::npos);
    EXPECT_NE(ErrorOf({"run", "--tty", "/dev/a=builtin", "--tty", "/dev/a=zolemul", "true"}).find("twice"),
              std::string::npos);
    EXPECT_NE(ErrorOf({"--port", "/dev/x", "run", "--tty", "/dev/a=builtin", "true"}).find("leave out"),
              std::string::npos);
}

}  // namespace
