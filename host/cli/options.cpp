#include "host/cli/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <utility>
#include <vector>

#include "host/base/text.h"
#include "host/cli/option_values.h"
#include "host/cli/run_options.h"
#include "host/cli/serve_options.h"
#include "zol_version.h"

namespace zolhost {

namespace {

Command CommandNamed(const std::string& s) {
    if (s == "ping") return Command::Ping;
    if (s == "drive") return Command::Drive;
    if (s == "bench") return Command::Bench;
    if (s == "link") return Command::Link;
    if (s == "replay") return Command::Replay;
    if (s == "serve") return Command::Serve;
    if (s == "run") return Command::Run;
    return Command::None;
}

// --virtual takes a directory when the next argument is neither an option nor a
// command: it is given to the parser as --virtual=DIR, or --virtual=. without one.
std::vector<std::string> WithVirtualDir(const std::vector<std::string>& args) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--virtual") {
            out.push_back(args[i]);
        } else if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0 && CommandNamed(args[i + 1]) == Command::None) {
            out.push_back("--virtual=" + args[++i]);
        } else {
            out.push_back("--virtual=.");
        }
    }
    return out;
}

// -h, --help or --version anywhere: nothing else is read.
bool HelpOrVersion(const std::vector<std::string>& given, Options* o) {
    for (const std::string& a : given) {
        if (a == "-h" || a == "--help") {
            o->help = true;
            return true;
        }
        if (a == "--version") {
            o->version = true;
            return true;
        }
    }
    return false;
}

// zolhost's command line as CLI11 reads it into an Options, with what is looked at
// after the parse: which options and commands were given, and the values that are
// checked or turned into the Options' own form then.
struct CommandLine {
    CLI::App app{"zolhost"};
    CLI::Option* virt = nullptr;
    CLI::Option* port = nullptr;
    CLI::Option* pace = nullptr;
    CLI::Option* timeout = nullptr;
    CLI::App *ping = nullptr, *drive = nullptr, *bench = nullptr, *link = nullptr, *replay = nullptr,
             *serve = nullptr, *run = nullptr;
    std::vector<CLI::Option*> deviceExe;  // --device-exe of each command that takes it
    LinkOptionSet linkOptions;            // link's
    LinkOptionSet serveOptions;           // serve's, for every device
    RunOptionSet runOptions;              // run's, for every --tty
    std::vector<std::string> positional;  // ping's data bytes
    std::string deviation = "answer";

    explicit CommandLine(Options* o) {
        app.set_help_flag();  // --help prints zolhost's own text
        app.allow_extras();   // said in zolhost's words below
        app.fallthrough();    // global options may follow the command
        AddGlobal(o);
        ping = app.add_subcommand("ping");
        ping->add_option("DATA", positional)->expected(0, 4);
        drive = app.add_subcommand("drive");
        drive->add_option("--rate", o->rate)->check(Real(0.01, 100000, "requests per second (0.01-100000)"));
        drive->add_option("--count", o->count)->check(Whole(1, UINT64_MAX, "a number of requests (1 or more)"));
        AddBench(o);
        AddLink(o);
        AddReplay(o);
        serve = AddServeCommand(app, o, &serveOptions);
        run = AddRunCommand(app, o, &runOptions);
        app.require_subcommand(0, 1);
    }
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    void AddGlobal(Options* o) {
        virt = app.add_option("--virtual", o->dir)->check(CLI::Validator(
            [](std::string& s) { return s.empty() ? std::string("empty directory name") : std::string(); }, ""));
        port = app.add_option("--port", o->port)->check(NotEmpty())->excludes(virt);
        app.add_flag("--trace", o->trace);
        pace = app.add_option("--pace", o->paceBaud)->check(PaceBaud());
        timeout = app.add_option("--timeout", o->timeoutMs)->check(Whole(1, 600000, "milliseconds (1-600000)"));
        app.add_option("--wait", o->waitSeconds)->check(Whole(0, 86400, "seconds (0-86400, 0: no limit)"));
    }

    void AddBench(Options* o) {
        bench = app.add_subcommand("bench");
        bench->add_option("--frames", o->frames)->check(Whole(1, 100000000, "a number (1-100000000)"));
        bench->add_option("--window", o->window)->check(Whole(1, 256, "a number (1-256)"));
        bench->add_option("--noise", o->noisePct)->check(Real(0, 100, "a percentage (0-100)"));
        bench->add_option("--seed", o->seed)->check(Whole(0, UINT64_MAX, "a number"));
        bench->add_flag("--json", o->json);
        bench->add_flag("--baseline", o->baseline);
        bench->add_option("--rounds", o->rounds)->check(Whole(1, 100, "a number (1-100)"));
        bench->add_option("--seconds", o->pipelinedSeconds)->check(Real(0.1, 3600, "seconds (0.1-3600)"));
        bench->add_flag("--spawn", o->spawn);
        deviceExe.push_back(bench->add_option("--device-exe", o->deviceExe)->check(NotEmpty()));
    }

    void AddLink(Options* o) {
        link = app.add_subcommand("link");
        link->add_option("HOSTPATH", o->hostPath);
        linkOptions.AddTo(link, o);
        link->add_flag("--spawn", o->spawn);
        link->add_flag("--builtin", o->builtin);
        deviceExe.push_back(link->add_option("--device-exe", o->deviceExe)->check(NotEmpty()));
    }

    void AddReplay(Options* o) {
        replay = app.add_subcommand("replay");
        replay->add_option("CAPTURE", o->capture);
        replay->add_flag("--fast", o->fast);
        replay->add_option("--as-device", o->asDevice)->check(NotEmpty());
        replay->add_option("--on-deviation", deviation)->check(CLI::IsMember({"stop", "answer"}));
        replay->add_flag("--spawn", o->spawn);
        deviceExe.push_back(replay->add_option("--device-exe", o->deviceExe)->check(NotEmpty()));
    }

    // After the parse: what was given, into *o.
    void Take(Options* o) const {
        for (auto [sub, command] : {std::pair{ping, Command::Ping}, {drive, Command::Drive},
                                    {bench, Command::Bench}, {link, Command::Link}, {replay, Command::Replay},
                                    {serve, Command::Serve}, {run, Command::Run}}) {
            if (sub->parsed()) {
                o->command = command;
            }
        }
        o->device = virt->count() > 0 ? DeviceKind::Virtual : port->count() > 0 ? DeviceKind::Port : DeviceKind::None;
        o->paceGiven = pace->count() > 0;
        o->spawn = o->spawn || o->command == Command::Serve;  // serve starts each of its devices
        for (const CLI::Option* exe : deviceExe) {
            o->spawn = o->spawn || exe->count() > 0;
        }
        o->stopAtDeviation = deviation == "stop";
    }

    // ping's data bytes into o->data; false with *error.
    bool TakePingData(Options* o, std::string* error) const {
        if (positional.size() != 0 && positional.size() != 1 && positional.size() != 4) {
            *error = "ping takes D1, or D1 D2 D3 D4";
            return false;
        }
        for (std::size_t k = 0; k < positional.size(); ++k) {
            if (!ParseHexByte(positional[k], &o->data[k])) {
                *error = "not a hex byte: " + positional[k];
                return false;
            }
        }
        return true;
    }

    // link's options that only some device ends take, against the one given
    // (--wait bounds how long the device end takes to come: one there at once,
    // the built-in device or a port, meets it); false with *error.
    bool CheckLinkDeviceEnd(const Options& o, std::string* error) const {
        const bool network = o.device == DeviceKind::Port && o.port.find("://") != std::string::npos;
        if (timeout->count() > 0 && !network) {
            *error = std::string("link --timeout bounds the connection to a device on the network (--port URL), and ") +
                     (o.builtin ? "the built-in device answers inside zolhost" : "the device end here is none");
            return false;
        }
        return true;
    }

    // link's HOSTPATH; false with *error.
    bool TakeHostPath(Options* o, std::string* error) const {
        if (o->hostPath.empty()) {
            *error = "link needs HOSTPATH: where to make the host program's port";
        } else if (o->hostPath.back() == '/') {
            *error = "link: HOSTPATH must name a file, not a directory: " + o->hostPath;
        } else {
            return true;
        }
        return false;
    }
};

// What is wrong with a parsed command line as a whole; empty when it can be run.
std::string CommandLineFault(const CLI::App& app, const Options& o) {
    if (const std::vector<std::string> extra = app.remaining(); !extra.empty()) {
        const std::string& a = extra.front();
        if (a.size() > 1 && a[0] == '-') {
            return "unknown option " + a + (o.command == Command::None ? "" : " for this command");
        }
        return o.command == Command::None ? "unknown command " + a : "unexpected argument " + a;
    }
    if (o.command == Command::None) {
        return std::string("no command given (ping, drive, bench, link, replay, serve or run)") +
               (o.device == DeviceKind::Virtual && o.dir != "." ? " after --virtual " + o.dir : "");
    }
    if (o.command == Command::Serve && o.device != DeviceKind::None) {
        return "serve starts each device itself: leave out --virtual and --port";
    }
    if (o.builtin && (o.spawn || o.device != DeviceKind::None)) {
        return "--builtin is the device end: leave out --virtual, --port, --spawn and --device-exe";
    }
    if (o.spawn && o.device != DeviceKind::None) {
        return "--spawn starts the device on a virtual link of its own: leave out --virtual and --port";
    }
    if (o.command == Command::Replay && o.capture.empty()) {
        return "replay needs CAPTURE: a capture of zolhost link --pcap";
    }
    if (o.command == Command::Replay && !o.asDevice.empty() && (o.device != DeviceKind::None || o.spawn)) {
        return "replay --as-device plays the device itself: leave out --virtual, --port and --spawn";
    }
    if (o.command == Command::Replay && !o.asDevice.empty() && o.fast) {
        return "replay --as-device answers the host program when it asks: --fast is for a replay against a device";
    }
    if (o.device == DeviceKind::None && !o.spawn && !o.builtin && o.command != Command::Run &&
        !(o.command == Command::Replay && !o.asDevice.empty())) {
        return "give --virtual [DIR] or --port PATH";
    }
    return {};
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
    std::vector<std::string> given(argv + 1, argv + argc);
    CommandLine line(o);
    SetProgramApart(line.app, *line.run, &given, &o->program);
    if (HelpOrVersion(given, o)) {
        return true;
    }
    std::vector<std::string> args = WithVirtualDir(given);
    std::reverse(args.begin(), args.end());  // CLI11 takes them last first
    try {
        line.app.parse(args);
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        return false;
    }
    line.Take(o);
    if (std::string fault = CommandLineFault(line.app, *o); !fault.empty()) {
        *error = std::move(fault);
        return false;
    }
    if (o->command == Command::Ping && !line.TakePingData(o, error)) {
        return false;
    }
    if (o->command == Command::Link && !line.TakeHostPath(o, error)) {
        return false;
    }
    if (o->command == Command::Link && (!line.CheckLinkDeviceEnd(*o, error) || !line.linkOptions.Take(o, error))) {
        return false;
    }
    if (o->command == Command::Run && !TakeRunOptions(line.runOptions, o, error)) {
        return false;
    }
    if (o->command == Command::Serve && line.timeout->count() > 0) {
        *error = "--timeout is for ping, drive, bench and replay: serve waits for no reply";
        return false;
    }
    if (o->command == Command::Serve && !line.serveOptions.Take(o, error)) {
        return false;
    }
    if (o->command == Command::Serve && !CheckServeOptions(*o, error)) {
        return false;
    }
    if (o->baseline && o->device != DeviceKind::Virtual && !o->spawn) {
        *error = "--baseline runs on virtual links: use it with --virtual or --spawn";
        return false;
    }
    return true;
}

LinkConfig LinkConfigOf(const Options& o) {
    LinkConfig c;
    c.device = o.device == DeviceKind::Port ? LinkConfig::DeviceEnd::Port
               : o.builtin                  ? LinkConfig::DeviceEnd::Builtin
               : o.spawn                    ? LinkConfig::DeviceEnd::Spawn
                                            : LinkConfig::DeviceEnd::Virtual;
    c.dir = o.dir;
    c.port = o.port;
    c.deviceExe = o.deviceExe;
    c.waitSeconds = o.waitSeconds;
    c.timeoutMs = o.timeoutMs;
    c.hostPath = o.hostPath;
    c.trace = o.trace;
    c.pcapPath = o.pcapPath;
    // Without --pace, a device end on this machine is paced at the device's own rate.
    c.relay.paceBaud = o.paceGiven ? o.paceBaud : c.device == LinkConfig::DeviceEnd::Port ? 0 : kDeviceLine.baud;
    c.relay.faults = o.faults;
    c.relay.seed = o.seed;
    c.relay.mismatchWarn = o.mismatchWarn;
    return c;
}

BenchConfig BenchConfigOf(const Options& o) {
    BenchConfig c;
    c.spawn = o.spawn;
    c.deviceExe = o.deviceExe;
    c.deviceIsEmulator = o.device == DeviceKind::Virtual;
    c.frames = o.frames;
    c.window = o.window;
    c.noisePct = o.noisePct;
    c.json = o.json;
    c.baseline = o.baseline;
    c.seed = o.seed;
    c.rounds = o.rounds;
    c.pipelinedSeconds = o.pipelinedSeconds;
    c.trace = o.trace;
    c.paceBaud = o.paceBaud;
    c.timeoutMs = o.timeoutMs;
    c.waitSeconds = o.waitSeconds;
    return c;
}

PingConfig PingConfigOf(const Options& o) {
    return PingConfig{o.data, o.timeoutMs};
}

DriveConfig DriveConfigOf(const Options& o) {
    return DriveConfig{o.rate, o.count, o.timeoutMs};
}

ReplayConfig ReplayConfigOf(const Options& o) {
    ReplayConfig c;
    c.capture = o.capture;
    c.fast = o.fast;
    c.asDevice = o.asDevice;
    c.stopAtDeviation = o.stopAtDeviation;
    c.link = LinkConfigOf(o);
    return c;
}

namespace {

// The forms of a command line, one a line.
const char* UsageForms() {
    return "usage: zolhost (--virtual [DIR] | --port PATH) [--trace] [--pace BAUD]\n"
           "               [--timeout MS] [--wait S] COMMAND [ARGS]\n"
           "       zolhost [--trace] [--pace BAUD] [--timeout MS] [--wait S] bench --spawn [ARGS]\n"
           "       zolhost [--trace] replay CAPTURE --as-device HOSTEND [ARGS]\n"
           "       zolhost [--trace] [--pace BAUD] [--wait S] serve --devices N [ARGS]\n"
           "       zolhost [--trace] [--pace BAUD] run --tty PATH=END [ARGS] [--] PROGRAM [ARGS]\n"
           "       zolhost [--trace] [--pace BAUD] run --com COMn=END [ARGS] [--] PROGRAM [ARGS]\n"
           "       zolhost --help | --version\n"
           "\n";
}

// The options before the command, for every command.
const char* GlobalOptionsText() {
    return "  --virtual [DIR]  make a virtual link: DIR/COM2 (DIR defaults to .) points at its\n"
           "                   device end, for zolemul started in DIR; removed on exit\n"
           "  --port PATH      use a serial device or pty (Windows: COMn), 115200 8N1 raw\n"
           "  --trace          hex dump of every byte sent and received, on stderr\n"
           "                   (link: every frame, what it is and what the link did to it)\n"
           "  --pace BAUD      send request bytes one at a time at the line rate of BAUD\n"
           "                   (link: both ways; default 115200 with --virtual; 0: no pacing)\n"
           "  --timeout MS     wait this long for a reply (default 1000; link: for the\n"
           "                   connection to a --port URL, and with no other device end)\n"
           "  --wait S         --virtual: give up when nothing opens COM2 within S seconds\n"
           "                   (default: wait until interrupted; --spawn: for zolemul to\n"
           "                   start; a device end there at once, --builtin, meets it)\n"
           "\n";
}

// ping, drive and bench: the device probed and measured.
const char* ProbeCommandsText() {
    return "commands:\n"
           "  ping [D1 [D2 D3 D4]]   one request (hex data bytes, default 00); shows request,\n"
           "                         reply and EA, and checks the reply\n"
           "  drive [--rate N] [--count N]\n"
           "                         steady requests (default 10/s) until interrupted, the count\n"
           "                         is reached or the device goes away\n"
           "  bench [--frames N] [--window K] [--noise PCT] [--seed N] [--json] [--baseline]\n"
           "                         round trips one at a time, then throughput with K requests\n"
           "                         in flight (defaults: 10000 frames, window 8); --noise puts\n"
           "                         stray bytes and bad frames before PCT% of the requests;\n"
           "                         --baseline measures zolhost's own responder beside it\n"
           "                         (sleeping in poll, and printing the status text) and a\n"
           "                         pyserial script where python3 has pyserial\n"
           "    [--rounds R] [--seconds S] [--spawn] [--device-exe PATH]\n"
           "                         --rounds: the whole run R times, figures the median of\n"
           "                         the rounds; --seconds: the pipelined phase runs S seconds;\n"
           "                         --spawn: zolhost starts zolemul (--device-exe, or the one\n"
           "                         beside zolhost) in a temp dir on a virtual link, its console\n"
           "                         on a pty zolhost drains, afresh for each of its turns, and\n"
           "                         ends it with a key press\n";
}

// link: a host program's own port in front of the device.
const char* LinkText() {
    return "  link HOSTPATH [--delay MS[-MS]] [--drop PCT] [--corrupt PCT] [--split MS] [--seed N]\n"
           "                         makes HOSTPATH a serial port for your own host program and\n"
           "                         forwards every byte between it and the device until Ctrl-C;\n"
           "                         replies can be dropped, corrupted (one byte), held back or\n"
           "                         split in two, reproducibly for a seed (default 1)\n"
           "    HOSTPATH may be rfc2217://ADDR:PORT or tcp://ADDR:PORT (ADDR defaults to\n"
           "                         127.0.0.1, port 0 picks one): zolhost listens there for one\n"
           "                         client at a time and prints the URL alone on stdout;\n"
           "                         RFC 2217 has no authentication. --port may be such a URL too\n"
           "    [--spawn] [--device-exe PATH]  zolhost starts zolemul in a temp dir behind the\n"
           "                         link and ends it with the link\n"
           "    [--builtin]          the device built into zolhost is the device end: the same\n"
           "                         on the wire as zolemul, no process or pty of its own;\n"
           "                         --device-exe is zolemul's, --timeout a --port URL's:\n"
           "                         refused with it\n"
           "    [--mismatch garble|warn]  when the host program sets its line unlike the\n"
           "                         device's 115200 8N1: garble the bytes both ways as a UART at\n"
           "                         the other setting takes them (default), or pass them and warn\n"
           "    [--pcap FILE]        write a pcapng capture of the link for Wireshark\n";
}

// replay: a captured session played again, either side.
const char* ReplayText() {
    return "  replay CAPTURE [--fast] [--spawn] [--device-exe PATH]\n"
           "                         sends the host program's side of a link --pcap capture to\n"
           "                         the device (at its recorded times, or with --fast each\n"
           "                         once the one before is answered) and lists every packet\n"
           "                         the device sends unlike what it sent then, or beyond it\n"
           "                         (a capture of at most 1 GiB; a damaged one is refused)\n"
           "  replay CAPTURE --as-device HOSTEND [--on-deviation answer|stop]\n"
           "                         plays the captured device to a host program at HOSTEND\n"
           "                         (a path or URL, as link's HOSTPATH), through the capture's\n"
           "                         own pace, faults and seed; a request unlike the recorded\n"
           "                         one is said, then answered by the frame rules or ends it\n";
}

// serve: many devices for test harnesses, steered while they run.
const char* ServeText() {
    return "  serve --devices N [--engine builtin|zolemul] [--device-exe PATH]\n"
           "    [--host pty|rfc2217|tcp|PATH|URL] [--pty-dir DIR] [--manifest FILE]\n"
           "    [--exit-with-stdin] [--on DEVICES:OPTIONS] [--control HOST:PORT|off]\n"
           "    [--control-token TOKEN]\n"
           "                         serves N devices (--engine builtin, the default: built into\n"
           "                         zolhost, all on one thread, costing nothing while idle;\n"
           "                         zolemul: a zolemul process each, --device-exe or the one\n"
           "                         beside zolhost; --device-exe without --engine selects\n"
           "                         zolemul, and is refused where every device is built-in),\n"
           "                         each behind a link of its own with one host end (default\n"
           "                         rfc2217 on a free loopback port), and once\n"
           "                         all are up prints where each is as JSON on one line (and to\n"
           "                         FILE); link's faults, --seed and --pcap (with {} for the\n"
           "                         device's number) for all, or with --on for some devices\n"
           "                         (--on 0-3:'--host pty --drop 10'); ends them all on Ctrl-C,\n"
           "                         SIGTERM, or the end of standard input if asked, and prints\n"
           "                         each device's summary as JSON. The control API (HTTP, JSON;\n"
           "                         default 127.0.0.1 on a free port, its URL in the JSON; not\n"
           "                         on Windows, which serves built-in devices without it)\n"
           "                         changes a device's faults, unplugs, plugs, freezes and\n"
           "                         thaws it while it runs; its page shows them all; off\n"
           "                         loopback it needs TOKEN (made when not given)\n";
}

// run: an unmodified program in front of devices, on fixed paths.
const char* RunText() {
    return "  run --tty PATH=END [--tty PATH=END ...] [--device-exe PATH]\n"
           "    [--delay MS[-MS]] [--drop PCT] [--corrupt PCT] [--split MS] [--seed N]\n"
           "    [--mismatch garble|warn] [--pcap FILE] [--] PROGRAM [ARGS]\n"
           "                         (Linux) starts PROGRAM, unmodified, with each PATH (such as\n"
           "                         /dev/ttyUSB0, which need not exist) served by zolhost as a\n"
           "                         serial port in front of END: builtin (the device built into\n"
           "                         zolhost), zolemul (started by zolhost), a URL or a port; no\n"
           "                         root, nothing installed or left behind. A library preloaded\n"
           "                         into PROGRAM opens a pty of zolhost's for PATH and shows the\n"
           "                         modem lines of a present device; a statically linked PROGRAM\n"
           "                         is out of its reach. An END that goes takes PATH with it, as\n"
           "                         a pulled adapter. SIGINT and SIGTERM go to PROGRAM; run ends\n"
           "                         when it does, with its exit status, each link's summary on\n"
           "                         stderr; --pcap FILE with several --tty: {} is each one's number\n"
           "  run --com COMn=END [--com COMn=END ...] [link options as above] [--] PROGRAM [ARGS]\n"
           "                         (Windows) the same for a Windows program (32-bit with the\n"
           "                         32-bit zolhost.exe, 64-bit with the 64-bit one): its opens of\n"
           "                         COMn (1-255; \\\\.\\COMn too) reach END through\n"
           "                         zolhost-com32.dll or zolhost-com64.dll, loaded into PROGRAM from\n"
           "                         beside zolhost.exe before its code runs; no driver, nothing\n"
           "                         installed. Ctrl-C and Ctrl-Break are PROGRAM's to act on; run\n"
           "                         ends when it does, with its exit status\n"
           "\n";
}

// What the exit status says.
const char* ExitStatusText() {
    return "exit status: 0 all replies good (link: stopped by Ctrl-C or SIGTERM), 1 a check\n"
           "             failed or a reply was missing, 2 usage error, 3 the link could not\n"
           "             be opened (link: also HOSTPATH exists already, or the system's wait\n"
           "             failed ten times in a row)\n";
}

}  // namespace

const char* UsageText() {
    static const std::string text = std::string(UsageForms()) + GlobalOptionsText() + ProbeCommandsText() +
                                    LinkText() + ReplayText() + ServeText() + RunText() + ExitStatusText();
    return text.c_str();
}

const char* VersionText() {
    return "zolhost " ZOL_VERSION "\n";
}

}  // namespace zolhost
