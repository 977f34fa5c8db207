// zolhost's commands over an open host link: ping and drive.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "host/base/text.h"
#include "host/base/outcome.h"
#include "host/transport/channel.h"

namespace zolhost {

struct PingConfig {
    std::array<std::uint8_t, 4> data = {0, 0, 0, 0};  // the request's data bytes
    int timeoutMs = 1000;                             // for its reply
};
int RunPing(Channel& link, const PingConfig& c);

struct DriveConfig {
    double rate = 10;         // requests per second
    std::uint64_t count = 0;  // 0: until stopped
    int timeoutMs = 1000;     // for each reply
};
int RunDrive(Channel& link, const DriveConfig& c);

}  // namespace zolhost
