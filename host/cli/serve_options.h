// zolhost serve's command line: its own options, the link's options for every
// device, and `--on DEVICES:OPTIONS` for some of them.
#pragma once

#include <CLI/CLI.hpp>

#include <string>

#include "host/cli/option_values.h"
#include "host/serve/serve.h"

namespace zolhost {

struct Options;

// Adds the serve command to `app`, over *o; `link` takes the link's options.
CLI::App* AddServeCommand(CLI::App& app, Options* o, LinkOptionSet* link);

// After the parse: every --on checked, and --pcap with several devices. false
// with *error.
bool CheckServeOptions(const Options& o, std::string* error);

ServeConfig ServeConfigOf(const Options& o);

}  // namespace zolhost
