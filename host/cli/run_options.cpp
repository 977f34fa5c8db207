#include "host/cli/run_options.h"

#include <algorithm>

#include "host/base/text.h"
#include "host/cli/options.h"
#include "host/transport/line_settings.h"

namespace zolhost {

namespace {

// The device ends run names by word; anything else is a port or a URL.
constexpr char kBuiltinEnd[] = "builtin";
constexpr char kZolemulEnd[] = "zolemul";

// An option of run's, or zolhost's, that takes a value in the next argument.
bool TakesNext(const CLI::App& app, const CLI::App& run, const std::string& arg) {
    if (arg.find('=') != std::string::npos) {
        return false;
    }
    const CLI::Option* opt = run.get_option_no_throw(arg);
    opt = opt != nullptr ? opt : app.get_option_no_throw(arg);
    return opt != nullptr && opt->get_items_expected_min() > 0;
}

// Why a --tty is not PATH=END; empty when it is.
std::string TtyFault(const std::string& tty, const std::vector<std::string>& before) {
    const std::size_t eq = tty.find('=');
    if (eq == std::string::npos || eq + 1 == tty.size()) {
        return "--tty needs PATH=END (END: builtin, zolemul, a serial port or a URL): " + tty;
    }
    const std::string path = tty.substr(0, eq);
    if (path.empty() || path[0] != '/' || path.back() == '/') {
        return "--tty: PATH must be a file's full path, as the program opens it: " + path;
    }
    if (path.find(':') != std::string::npos) {
        return "--tty: PATH cannot have ':' in it: " + path;
    }
    for (const std::string& b : before) {
        if (b.substr(0, b.find('=')) == path) {
            return "--tty: " + path + " is given twice";
        }
    }
    return {};
}

// A Windows port's name as the program may give it (COM7, com7, \\.\COM7): COMn,
// n from 1 to 255; empty when it is none.
std::string ComName(std::string name) {
    if (name.rfind("\\\\.\\", 0) == 0) {
        name.erase(0, 4);
    }
    if (name.size() < 4 || name.size() > 6 || AsciiLower(name.substr(0, 3)) != "com" || name[3] == '0' ||
        name.find_first_not_of("0123456789", 3) != std::string::npos || std::stoi(name.substr(3)) > 255) {
        return {};
    }
    return "COM" + name.substr(3);
}

// Why a --com is not COMn=END; empty when it is.
std::string ComFault(const std::string& com, const std::vector<std::string>& before) {
    const std::size_t eq = com.find('=');
    if (eq == std::string::npos || eq + 1 == com.size()) {
        return "--com needs COMn=END (END: builtin, zolemul, a serial port or a URL): " + com;
    }
    const std::string name = ComName(com.substr(0, eq));
    if (name.empty()) {
        return "--com: " + com.substr(0, eq) + " is no port name: COM1 to COM255";
    }
    for (const std::string& b : before) {
        if (ComName(b.substr(0, b.find('='))) == name) {
            return "--com: " + name + " is given twice";
        }
    }
    return {};
}

#ifdef _WIN32
constexpr bool kWindows = true;
#else
constexpr bool kWindows = false;
#endif

}  // namespace

CLI::App* AddRunCommand(CLI::App& app, Options* o, RunOptionSet* set) {
    CLI::App* run = app.add_subcommand("run");
    run->add_option("--tty", o->ttys)->take_all();
    run->add_option("--com", o->coms)->take_all();
    set->link.AddTo(run, o);
    run->add_option("--device-exe", o->deviceExe)->check(NotEmpty());
    return run;
}

void SetProgramApart(const CLI::App& app, const CLI::App& run, std::vector<std::string>* args,
                     std::vector<std::string>* program) {
    std::vector<std::string>& a = *args;
    const std::vector<const CLI::App*> commands = app.get_subcommands([](const CLI::App*) { return true; });
    const auto command = [&](const std::string& arg) {
        return std::any_of(commands.begin(), commands.end(), [&](const CLI::App* c) { return c->get_name() == arg; });
    };
    std::size_t at = 0;
    while (at < a.size() && !command(a[at])) {  // zolhost's own options before the command
        at += a[at].rfind("--", 0) == 0 && a[at] != "--virtual" && TakesNext(app, run, a[at]) ? 2 : 1;
    }
    if (at >= a.size() || a[at] != run.get_name()) {
        return;  // another command: its arguments are its own
    }
    for (++at; at < a.size(); ++at) {
        if (a[at] == "--") {
            program->assign(a.begin() + static_cast<std::ptrdiff_t>(at) + 1, a.end());
            break;
        }
        if (a[at].size() < 2 || a[at][0] != '-') {
            program->assign(a.begin() + static_cast<std::ptrdiff_t>(at), a.end());
            break;
        }
        at += TakesNext(app, run, a[at]) ? 1 : 0;
    }
    a.resize(std::min(at, a.size()));
}

bool TakeRunOptions(const RunOptionSet& set, Options* o, std::string* error) {
    if (!set.link.Take(o, error)) {
        return false;
    }
    const char* const given = kWindows ? "--com COMn=END" : "--tty PATH=END";
    const std::vector<std::string>& ports = kWindows ? o->coms : o->ttys;
    if (o->device != DeviceKind::None || o->builtin) {
        *error = std::string("run's device ends are in ") + given + ": leave out --virtual and --port";
    } else if (kWindows && !o->ttys.empty()) {
        *error = "--tty is for Linux: on Windows, give the port the program opens as --com COMn=END";
    } else if (!kWindows && !o->coms.empty()) {
        *error = "--com is for Windows: on Linux, give the path the program opens as --tty PATH=END";
    } else if (ports.empty()) {
        *error = std::string("run needs ") + given + ": the " + (kWindows ? "port" : "path") +
                 " the program opens, and the device end behind it";
    } else if (o->program.empty()) {
        *error = "run needs PROGRAM: the program to start";
    } else if (ports.size() > 1 && !o->pcapPath.empty() && o->pcapPath.find("{}") == std::string::npos) {
        *error = std::string("--pcap with several ") + (kWindows ? "--com" : "--tty") +
                 " needs {} in FILE, for the number of each (from 0, in the order given)";
    } else {
        for (std::size_t k = 0; k < ports.size(); ++k) {
            const std::vector<std::string> before(ports.begin(), ports.begin() + static_cast<std::ptrdiff_t>(k));
            *error = kWindows ? ComFault(ports[k], before) : TtyFault(ports[k], before);
            if (!error->empty()) {
                return false;
            }
        }
        return true;
    }
    return false;
}

RunConfig RunConfigOf(const Options& o) {
    RunConfig c;
    c.program = o.program;
    const std::vector<std::string>& ports = kWindows ? o.coms : o.ttys;
    for (std::size_t k = 0; k < ports.size(); ++k) {
        const std::string& tty = ports[k];
        const std::size_t eq = tty.find('=');
        RunTty t;
        t.path = kWindows ? ComName(tty.substr(0, eq)) : tty.substr(0, eq);
        const std::string end = tty.substr(eq + 1);
        t.link = LinkConfigOf(o);
        t.link.device = end == kBuiltinEnd   ? LinkConfig::DeviceEnd::Builtin
                        : end == kZolemulEnd ? LinkConfig::DeviceEnd::Spawn
                                             : LinkConfig::DeviceEnd::Port;
        t.link.port = t.link.device == LinkConfig::DeviceEnd::Port ? end : std::string();
        // Without --pace, a device end on this machine is paced at the device's own rate.
        t.link.relay.paceBaud = o.paceGiven                                 ? o.paceBaud
                                : t.link.device == LinkConfig::DeviceEnd::Port ? 0
                                                                            : kDeviceLine.baud;
        t.link.quiet = true;
        t.link.label = ports.size() > 1 ? t.path : std::string();
        if (const std::size_t at = o.pcapPath.find("{}"); at != std::string::npos) {
            t.link.pcapPath.replace(at, 2, std::to_string(k));
        }
        c.ttys.push_back(t);
    }
    return c;
}

}  // namespace zolhost
