// zolhost's commands over an open host link, and its exit statuses.
#pragma once

#include <string>

#include "host/cli/options.h"
#include "host/transport/channel.h"

namespace zolhost {

inline constexpr int kExitGood = 0;
inline constexpr int kExitCheckFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLink = 3;

// A message on standard error: "zolhost: <text>".
void Say(const std::string& text);

int RunPing(Channel& link, const Options& o);
int RunDrive(Channel& link, const Options& o);
// The benchmark on `device` (described by `where`), with its baselines when asked
// for; with --spawn zolhost starts the device itself and `device` is null.
int RunBenchCommand(const Options& o, Channel* device, const std::string& where);

}  // namespace zolhost
