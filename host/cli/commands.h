// zolhost's commands over an open host link, and its exit statuses.
#pragma once

#include <string>

#include "host/base/text.h"
#include "host/base/outcome.h"
#include "host/cli/options.h"
#include "host/transport/channel.h"

namespace zolhost {

int RunPing(Channel& link, const Options& o);
int RunDrive(Channel& link, const Options& o);
// The benchmark on `device` (described by `where`), with its baselines when asked
// for; with --spawn zolhost starts the device itself and `device` is null.
int RunBenchCommand(const Options& o, Channel* device, const std::string& where);

}  // namespace zolhost
