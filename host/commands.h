// zolhost's commands over an open host link, and its exit statuses.
#pragma once

#include <string>

#include "host/link.h"
#include "host/options.h"

namespace zolhost {

inline constexpr int kExitGood = 0;
inline constexpr int kExitCheckFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoLink = 3;

// What to say when the host end hangs up: the program at the device end left.
struct LinkContext {
    std::string deviceName;  // "COM2 in /tmp/x" or the port path
};

// A message on standard error: "zolhost: <text>".
void Say(const std::string& text);

int RunPing(HostLink& link, const Options& o);
int RunDrive(HostLink& link, const Options& o, const LinkContext& ctx);
// The benchmark on `device` (described by `where`), with its baselines when asked
// for; with --spawn zolhost starts the device itself and `device` is null.
int RunBenchCommand(const Options& o, HostLink* device, const std::string& where);

}  // namespace zolhost
