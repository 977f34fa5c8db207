// One device of zolhost serve: its zolemul, its host end and the link between
// them, run in a thread of its own, and the board on which each device's thread
// tells the rest how it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/control/steering.h"
#include "host/link/link.h"

namespace zolhost {

// What a device's link counted, and how its zolemul ended.
struct DeviceSummary {
    LinkTally tally;
    std::uint64_t bytesToDevice = 0;
    std::uint64_t bytesToHost = 0;
    std::uint64_t lost = 0;      // bytes that fell due while an end was closed
    bool endedCleanly = false;  // zolemul ended with 0 after its key press
    std::string endError;       // otherwise, why not
};

struct DeviceState {
    enum class Phase {
        Starting,
        Up,      // zolemul has its port open, the host end is ready
        Failed,  // it never came up: `error`, and how serve exits in `status`
        Ended,   // its link ran and is over, everything of it gone; `error`: it ended on its own
    };
    Phase phase = Phase::Starting;
    int status = 0;
    std::string error;
    std::string engine = "zolemul";  // what plays the device: "zolemul", or "builtin" (zolhost itself)
    std::int64_t pid = -1;  // zolemul's (-1: the device is built in)
    std::string dir;        // zolemul's directory
    std::string hostEnd;    // the pty's path or the listener's URL
    DeviceSummary summary;
};

class DeviceBoard {
public:
    explicit DeviceBoard(std::size_t devices) : states_(devices) {}
    void Change(std::size_t index, const std::function<void(DeviceState&)>& change);
    std::vector<DeviceState> Snapshot() const;

private:
    mutable Mutex mutex_;
    std::vector<DeviceState> states_;
};

// Starts device `index` (its host end in c.hostPath, made without a word) and runs
// its link until a stop is requested or its zolemul ends on its own, then ends
// zolemul and removes what it made; tells the board each step. Steered through
// `mailbox` (none: not steered).
void ServeDevice(const LinkConfig& c, std::size_t index, DeviceBoard& board, SteerMailbox* mailbox);

// Serves the built-in devices `indices` (their configurations in `configs`, by
// index) all on this thread, until a stop is requested; tells the board each step.
// Steered through `mailbox` (none: not steered).
void ServeBuiltinDevices(const std::vector<LinkConfig>& configs, const std::vector<std::size_t>& indices,
                         DeviceBoard& board, SteerMailbox* mailbox);

}  // namespace zolhost
