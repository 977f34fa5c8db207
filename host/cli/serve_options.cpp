#include "host/cli/serve_options.h"

#include <algorithm>
#include <sstream>
#include <vector>

#include "host/base/text.h"
#include "host/cli/options.h"

namespace zolhost {

namespace {

constexpr std::uint64_t kMostDevices = 256;

const CLI::Validator kHost(
    [](std::string& s) {
        return s.empty() ? std::string("needs pty, rfc2217, tcp, a path or a URL") : std::string();
    },
    "");

const CLI::Validator kEngine(
    [](std::string& s) {
        return s == "builtin" || s == "zolemul" ? std::string() : std::string("needs builtin or zolemul");
    },
    "");

// "DEVICES:OPTIONS": the devices (I or I-J) and the options, a word each.
struct DeviceOptions {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    std::vector<std::string> words;
};

bool SplitOn(const std::string& given, DeviceOptions* d, std::string* error) {
    const std::size_t colon = given.find(':');
    const std::string which = given.substr(0, colon);
    const std::size_t dash = which.find('-');
    const bool range = dash != std::string::npos;
    if (colon == std::string::npos ||
        !ParseUnsigned(which.substr(0, dash), 0, kMostDevices - 1, &d->first) ||
        !ParseUnsigned(range ? which.substr(dash + 1) : which, d->first, kMostDevices - 1, &d->last)) {
        *error = "--on " + given + ": needs DEVICES:OPTIONS, DEVICES a device's number or a range I-J";
        return false;
    }
    if (!SplitWords(given.substr(colon + 1), &d->words)) {
        *error = "--on " + given + ": a quote is left open";
        return false;
    }
    return true;
}

// One device's own options over *o (a copy of the command's). false with *error.
bool ApplyOn(const DeviceOptions& d, Options* o, std::string* error) {
    CLI::App app{"--on"};
    app.set_help_flag();
    app.add_option("--host", o->host)->check(kHost);
    app.add_option("--engine", o->engine)->check(kEngine);
    CLI::Option* pace = app.add_option("--pace", o->paceBaud)->check(PaceBaud());
    app.add_flag("--trace", o->trace);
    LinkOptionSet link;
    link.AddTo(&app, o);
    std::vector<std::string> args(d.words.rbegin(), d.words.rend());  // CLI11 takes them last first
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        return false;
    }
    o->paceGiven = o->paceGiven || pace->count() > 0;
    return link.Take(o, error);
}

void ReplaceIndex(std::string* path, std::size_t index) {
    for (std::size_t at; (at = path->find("{}")) != std::string::npos;) {
        path->replace(at, 2, std::to_string(index));
    }
}

// The host end given for every device as device `index` takes it: a listener's URL
// with a port P listens on P + i (past 65535: empty), a path has {} replaced by
// the device's number.
std::string HostOfDevice(const std::string& host, std::size_t index) {
    const std::size_t colon = host.rfind(':');
    std::uint64_t port = 0;
    if (host.find("://") == std::string::npos) {
        std::string path = host;
        ReplaceIndex(&path, index);
        return path;
    }
    if (colon == std::string::npos || !ParseUnsigned(host.substr(colon + 1), 1, 65535, &port)) {
        return host;
    }
    return port + index > 65535 ? std::string() : host.substr(0, colon + 1) + std::to_string(port + index);
}

// Two devices with one host end (a path, or a URL with a port): the second could
// not make it. Empty when every device has its own.
std::string SharedHostEnd(const ServeConfig& c) {
    for (std::size_t i = 0; i < c.devices.size(); ++i) {
        const std::string& h = c.devices[i].host;
        if (h.empty()) {
            return "device " + std::to_string(i) + "'s port would be past 65535: give a lower --host port";
        }
        const bool own = h == "pty" || h == "rfc2217" || h == "tcp" ||
                         (h.find("://") != std::string::npos && h.size() > 2 && h.compare(h.size() - 2, 2, ":0") == 0);
        for (std::size_t j = 0; j < i && !own; ++j) {
            if (c.devices[j].host == h) {
                return "devices " + std::to_string(j) + " and " + std::to_string(i) + " would share the host end " + h +
                       " (a path for several devices needs {} for the device's number)";
            }
        }
    }
    return {};
}

}  // namespace

CLI::App* AddServeCommand(CLI::App& app, Options* o, LinkOptionSet* link) {
    CLI::App* serve = app.add_subcommand("serve");
    serve->add_option("--devices", o->devices)->check(Whole(1, kMostDevices, "a number of devices (1-256)"));
    serve->add_option("--device-exe", o->deviceExe)->check(NotEmpty());
    serve->add_option("--engine", o->engine)->check(kEngine);
    serve->add_option("--host", o->host)->check(kHost);
    serve->add_option("--pty-dir", o->ptyDir)->check(NotEmpty());
    serve->add_option("--manifest", o->manifest)->check(NotEmpty());
    serve->add_option("--control", o->control)->check(NotEmpty());
    serve->add_option("--control-token", o->controlToken)->check(NotEmpty());
    serve->add_flag("--exit-with-stdin", o->exitWithStdin);
    serve->add_option("--on", o->perDevice)->allow_extra_args(false);
    link->AddTo(serve, o);
    return serve;
}

bool CheckServeOptions(const Options& o, std::string* error) {
    if (o.devices == 0) {
        *error = "serve needs --devices N";
        return false;
    }
    for (const std::string& given : o.perDevice) {
        DeviceOptions d;
        Options scratch = o;
        if (!SplitOn(given, &d, error)) {
            return false;
        }
        if (d.last >= o.devices) {
            *error = "--on " + given + ": there are devices 0 to " + std::to_string(o.devices - 1);
            return false;
        }
        if (!ApplyOn(d, &scratch, error)) {
            *error = "--on " + given + ": " + *error;
            return false;
        }
    }
    if (o.devices > 1 && !o.pcapPath.empty() && o.pcapPath.find("{}") == std::string::npos) {
        *error = "serve --pcap with several devices needs {} in the path, for each device's number";
        return false;
    }
    const ServeConfig c = ServeConfigOf(o);
    if (std::string shared = SharedHostEnd(c); !shared.empty()) {
        *error = "serve --host: " + shared;
        return false;
    }
    const bool zolemul = std::any_of(c.devices.begin(), c.devices.end(), [](const ServedDevice& d) {
        return d.link.device != LinkConfig::DeviceEnd::Builtin;
    });
    if (!o.deviceExe.empty() && !zolemul) {
        *error = "serve --device-exe names the zolemul that --engine zolemul runs, and every device here is "
                 "built into zolhost (--engine builtin): leave out --device-exe, or give --engine zolemul";
        return false;
    }
    return true;
}

ServeConfig ServeConfigOf(const Options& o) {
    ServeConfig c;
    c.ptyDir = o.ptyDir;
    c.manifest = o.manifest;
    c.exitWithStdin = o.exitWithStdin;
    c.control = o.control == "off" ? std::string() : o.control;
    c.controlToken = o.controlToken;
    for (std::size_t i = 0; i < o.devices; ++i) {
        Options own = o;
        for (const std::string& given : o.perDevice) {
            DeviceOptions d;
            std::string error;  // none: CheckServeOptions has seen them all
            if (SplitOn(given, &d, &error) && d.first <= i && i <= d.last) {
                ApplyOn(d, &own, &error);
            }
        }
        ServedDevice device;
        device.link = LinkConfigOf(own);
        // Not said: a zolemul where one is named, else the built-in device.
        const std::string engine = !own.engine.empty() ? own.engine : o.deviceExe.empty() ? "builtin" : "zolemul";
        if (engine == "builtin") {
            device.link.device = LinkConfig::DeviceEnd::Builtin;
        }
        device.link.quiet = true;
        device.link.label = "device " + std::to_string(i);
        ReplaceIndex(&device.link.pcapPath, i);
        device.host = own.host == o.host ? HostOfDevice(o.host, i) : own.host;
        c.devices.push_back(device);
    }
    return c;
}

}  // namespace zolhost
