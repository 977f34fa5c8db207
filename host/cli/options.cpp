#include "host/cli/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "host/cli/hex.h"
#include "zol_version.h"

namespace zolhost {

namespace {

bool ParseUnsigned(const std::string& s, std::uint64_t lo, std::uint64_t hi, std::uint64_t* v) {
    if (s.empty() || s[0] < '0' || s[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long x = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || x < lo || x > hi) {
        return false;
    }
    *v = x;
    return true;
}

bool ParseReal(const std::string& s, double lo, double hi, double* v) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double x = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(x) || x < lo || x > hi) {
        return false;
    }
    *v = x;
    return true;
}

// "MS" or "MIN-MAX".
bool ParseDelay(const std::string& s, FaultSettings* f) {
    const std::size_t dash = s.find('-');
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    if (dash == std::string::npos) {
        if (!ParseUnsigned(s, 0, 60000, &lo)) return false;
        hi = lo;
    } else if (!ParseUnsigned(s.substr(0, dash), 0, 60000, &lo) || !ParseUnsigned(s.substr(dash + 1), lo, 60000, &hi)) {
        return false;
    }
    f->delayMinMs = static_cast<int>(lo);
    f->delayMaxMs = static_cast<int>(hi);
    return true;
}

Command CommandNamed(const std::string& s) {
    if (s == "ping") return Command::Ping;
    if (s == "drive") return Command::Drive;
    if (s == "bench") return Command::Bench;
    if (s == "link") return Command::Link;
    return Command::None;
}

}  // namespace

bool ParseOptions(int argc, const char* const* argv, Options* o, std::string* error) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> positional;  // data bytes of ping
    auto fail = [&](const std::string& what) {
        *error = what;
        return false;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        // The value of an option: the next argument, which must exist.
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) {
                return false;
            }
            *v = args[++i];
            return true;
        };
        std::string v;
        std::uint64_t u = 0;
        const bool bench = o->command == Command::Bench;
        const bool drive = o->command == Command::Drive;
        const bool link = o->command == Command::Link;
        if (a == "-h" || a == "--help") {
            o->help = true;
            return true;
        } else if (a == "--version") {
            o->version = true;
            return true;
        } else if (a == "--virtual") {
            if (o->device != DeviceKind::None) return fail("give one of --virtual and --port, once");
            o->device = DeviceKind::Virtual;
            // An optional directory: the next argument unless it is an option or a command.
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0 && CommandNamed(args[i + 1]) == Command::None) {
                o->dir = args[++i];
                if (o->dir.empty()) return fail("--virtual: empty directory name");
            }
        } else if (a == "--port") {
            if (o->device != DeviceKind::None) return fail("give one of --virtual and --port, once");
            if (!value(&o->port) || o->port.empty()) return fail("--port needs a path");
            o->device = DeviceKind::Port;
        } else if (a == "--trace") {
            o->trace = true;
        } else if (a == "--pace") {
            if (!value(&v) || !(v == "0" || ParseUnsigned(v, 50, 4000000, &u))) {
                return fail("--pace needs a baud rate (50-4000000, or 0: no pacing)");
            }
            o->paceBaud = v == "0" ? 0 : static_cast<std::uint32_t>(u);
            o->paceGiven = true;
        } else if (a == "--timeout") {
            if (!value(&v) || !ParseUnsigned(v, 1, 600000, &u)) return fail("--timeout needs milliseconds (1-600000)");
            o->timeoutMs = static_cast<int>(u);
        } else if (a == "--wait") {
            if (!value(&v) || !ParseUnsigned(v, 0, 86400, &u)) return fail("--wait needs seconds (0-86400, 0: no limit)");
            o->waitSeconds = static_cast<int>(u);
        } else if (drive && a == "--rate") {
            if (!value(&v) || !ParseReal(v, 0.01, 100000, &o->rate)) return fail("--rate needs requests per second (0.01-100000)");
        } else if (drive && a == "--count") {
            if (!value(&v) || !ParseUnsigned(v, 1, UINT64_MAX, &o->count)) return fail("--count needs a number of requests (1 or more)");
        } else if (bench && a == "--frames") {
            if (!value(&v) || !ParseUnsigned(v, 1, 100000000, &u)) return fail("--frames needs a number (1-100000000)");
            o->frames = static_cast<std::uint32_t>(u);
        } else if (bench && a == "--window") {
            if (!value(&v) || !ParseUnsigned(v, 1, 256, &u)) return fail("--window needs a number (1-256)");
            o->window = static_cast<std::uint32_t>(u);
        } else if (bench && a == "--noise") {
            if (!value(&v) || !ParseReal(v, 0, 100, &o->noisePct)) return fail("--noise needs a percentage (0-100)");
        } else if (link && a == "--delay") {
            if (!value(&v) || !ParseDelay(v, &o->faults)) return fail("--delay needs milliseconds, MS or MIN-MAX (0-60000)");
        } else if (link && a == "--drop") {
            if (!value(&v) || !ParseReal(v, 0, 100, &o->faults.dropPct)) return fail("--drop needs a percentage (0-100)");
        } else if (link && a == "--corrupt") {
            if (!value(&v) || !ParseReal(v, 0, 100, &o->faults.corruptPct)) return fail("--corrupt needs a percentage (0-100)");
        } else if (link && a == "--split") {
            if (!value(&v) || !ParseUnsigned(v, 0, 60000, &u)) return fail("--split needs milliseconds (0-60000)");
            o->faults.splitGapMs = static_cast<int>(u);
        } else if ((bench || link) && a == "--seed") {
            if (!value(&v) || !ParseUnsigned(v, 0, UINT64_MAX, &o->seed)) return fail("--seed needs a number");
        } else if (bench && a == "--json") {
            o->json = true;
        } else if (bench && a == "--baseline") {
            o->baseline = true;
        } else if (bench && a == "--rounds") {
            if (!value(&v) || !ParseUnsigned(v, 1, 100, &u)) return fail("--rounds needs a number (1-100)");
            o->rounds = static_cast<std::uint32_t>(u);
        } else if (bench && a == "--seconds") {
            if (!value(&v) || !ParseReal(v, 0.1, 3600, &o->pipelinedSeconds)) return fail("--seconds needs seconds (0.1-3600)");
        } else if (bench && a == "--spawn") {
            o->spawn = true;
        } else if (bench && a == "--device-exe") {
            if (!value(&o->deviceExe) || o->deviceExe.empty()) return fail("--device-exe needs a path");
            o->spawn = true;
        } else if (a.size() > 1 && a[0] == '-') {
            return fail("unknown option " + a + (o->command == Command::None ? "" : " for this command"));
        } else if (o->command == Command::None) {
            o->command = CommandNamed(a);
            if (o->command == Command::None) return fail("unknown command " + a);
        } else if (o->command == Command::Ping || (link && positional.empty())) {
            positional.push_back(a);
        } else {
            return fail("unexpected argument " + a);
        }
    }
    if (o->command == Command::None) {
        return fail(std::string("no command given (ping, drive, bench or link)") +
                    (o->device == DeviceKind::Virtual && o->dir != "." ? " after --virtual " + o->dir : ""));
    }
    if (o->spawn && o->device != DeviceKind::None) {
        return fail("--spawn starts the device on a virtual link of its own: leave out --virtual and --port");
    }
    if (o->device == DeviceKind::None && !o->spawn) return fail("give --virtual [DIR] or --port PATH");
    if (o->command == Command::Ping) {
        if (positional.size() != 0 && positional.size() != 1 && positional.size() != 4) {
            return fail("ping takes D1, or D1 D2 D3 D4");
        }
        for (std::size_t k = 0; k < positional.size(); ++k) {
            if (!ParseHexByte(positional[k], &o->data[k])) return fail("not a hex byte: " + positional[k]);
        }
    }
    if (o->command == Command::Link) {
        if (positional.empty()) return fail("link needs HOSTPATH: where to make the host program's port");
        o->hostPath = positional[0];
        if (o->hostPath.back() == '/') return fail("link: HOSTPATH must name a file, not a directory: " + o->hostPath);
        if (o->faults.dropPct + o->faults.corruptPct > 100) {
            return fail("--drop and --corrupt share the replies: together at most 100%");
        }
    }
    if (o->baseline && o->device != DeviceKind::Virtual && !o->spawn) {
        return fail("--baseline runs on virtual links: use it with --virtual or --spawn");
    }
    return true;
}

const char* UsageText() {
    return "usage: zolhost (--virtual [DIR] | --port PATH) [--trace] [--pace BAUD]\n"
           "               [--timeout MS] [--wait S] COMMAND [ARGS]\n"
           "       zolhost [--trace] [--pace BAUD] [--timeout MS] [--wait S] bench --spawn [ARGS]\n"
           "       zolhost --help | --version\n"
           "\n"
           "  --virtual [DIR]  make a virtual link: DIR/COM2 (DIR defaults to .) points at its\n"
           "                   device end, for zolemul started in DIR; removed on exit\n"
           "  --port PATH      use a serial device or pty (Windows: COMn), 115200 8N1 raw\n"
           "  --trace          hex dump of every byte sent and received, on stderr\n"
           "                   (link: every frame, what it is and what the link did to it)\n"
           "  --pace BAUD      send request bytes one at a time at the line rate of BAUD\n"
           "                   (link: both ways; default 115200 with --virtual; 0: no pacing)\n"
           "  --timeout MS     wait this long for a reply (default 1000)\n"
           "  --wait S         --virtual: give up when nothing opens COM2 within S seconds\n"
           "                   (default: wait until interrupted)\n"
           "\n"
           "commands:\n"
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
           "                         ends it with a key press\n"
           "  link HOSTPATH [--delay MS[-MS]] [--drop PCT] [--corrupt PCT] [--split MS] [--seed N]\n"
           "                         makes HOSTPATH a serial port for your own host program and\n"
           "                         forwards every byte between it and the device until Ctrl-C;\n"
           "                         replies can be dropped, corrupted (one byte), held back or\n"
           "                         split in two, reproducibly for a seed (default 1)\n"
           "\n"
           "exit status: 0 all replies good (link: stopped by Ctrl-C or SIGTERM), 1 a check\n"
           "             failed or a reply was missing, 2 usage error, 3 the link could not\n"
           "             be opened (link: also HOSTPATH exists already)\n";
}

const char* VersionText() {
    return "zolhost " ZOL_VERSION "\n";
}

}  // namespace zolhost
