// Steering served devices while they run: a command for one device (its faults,
// unplug and plug of its host end, freeze and thaw) is handed from whichever thread
// asks to the thread that runs the device's link, through a mailbox that thread's
// wait watches, and answered there with the device as it is then. Nothing of a link
// is touched from any other thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/link/link.h"
#include "host/process/child_process.h"
#include "host/system/threads.h"

namespace zolhost {

// A change to a link's faults: what is given changes, the rest stays.
struct FaultChange {
    std::optional<double> dropPct;
    std::optional<double> corruptPct;
    std::optional<int> delayMinMs;
    std::optional<int> delayMaxMs;
    std::optional<int> splitGapMs;  // -1: not split
    std::optional<std::uint32_t> paceBaud;  // 0: not paced
};

// The faults with the change made: what it gives over what they were.
inline FaultSettings ChangedFaults(FaultSettings f, const FaultChange& c) {
    f.dropPct = c.dropPct.value_or(f.dropPct);
    f.corruptPct = c.corruptPct.value_or(f.corruptPct);
    f.delayMinMs = c.delayMinMs.value_or(f.delayMinMs);
    f.delayMaxMs = c.delayMaxMs.value_or(f.delayMaxMs);
    f.splitGapMs = c.splitGapMs.value_or(f.splitGapMs);
    return f;
}

struct SteerCommand {
    enum class Kind { Look, Faults, Unplug, Plug, Freeze, Thaw };
    Kind kind = Kind::Look;
    std::size_t device = 0;
    FaultChange faults;
};

// A device as its links' thread sees it.
struct DeviceView {
    std::size_t index = 0;
    std::string engine;
    std::string hostEnd;     // the pty's path or the listener's URL
    bool plugged = true;
    bool frozen = false;
    bool hostOpen = false;   // a host program has the host end open
    LinkTally tally;
    std::string lastFrame;   // the latest frame answered, as the device's status line shows it
    FaultSettings faults;
    std::uint32_t paceBaud = 0;  // the link's pace (0: none)
    std::string error;       // the command could not be done: why (the view is as before)
    bool refused = false;    // ... because of what it asked (faults the rule refuses), not of the device
};

// One per thread that runs links.
class SteerMailbox {
public:
    SteerMailbox();
    ~SteerMailbox();
    SteerMailbox(const SteerMailbox&) = delete;
    SteerMailbox& operator=(const SteerMailbox&) = delete;

    // Polls readable while commands wait (the links' wait watches it; -1 on
    // Windows, where that wait looks for them after every wait).
    int Fd() const { return bell_.Fd(); }
    // From any thread: the command's answer, or nothing when the links' thread did
    // not answer within `limit` (it has ended, or stopped) or the mailbox is closed.
    std::optional<DeviceView> Ask(const SteerCommand& c, std::chrono::milliseconds limit);
    // From any thread: every Ask waiting, and every one after, gets nothing at once
    // (whoever asks is ending and waits for no device).
    void Close();
    // On the links' thread: runs one waiting command with `run`; the device it was
    // for, or nothing when none waits.
    std::optional<std::size_t> RunOne(const std::function<DeviceView(const SteerCommand&)>& run);

private:
    struct Pending {
        SteerCommand command;
        std::optional<DeviceView> answer;
        bool abandoned = false;
    };
    Doorbell bell_;
    Mutex mutex_;
    Condition answered_;
    std::deque<std::shared_ptr<Pending>> waiting_;
    bool closed_ = false;
};

// What a device's links' thread holds of it to steer it.
struct SteeredDevice {
    std::size_t index = 0;
    std::string engine;
    Link* link = nullptr;
    LinkRecord* record = nullptr;
    std::unique_ptr<Endpoint>* host = nullptr;  // its host end, made again at hostEnd once plugged
    std::string hostEnd;
    // The device's own status line for the latest frame it answered (zolemul's
    // console, the built-in device's own count); none: it shows none.
    std::function<std::string()> lastFrame;
};

// Does a command to a device, on its links' thread, at `now`.
DeviceView Steer(SteeredDevice& d, const SteerCommand& c, Clock::time_point now);

// Runs the links of `devices` (on this thread) until a stop is requested or
// `finished` says so, doing the commands that come through `mailbox` (none: not
// steered). `console`: a zolemul's console, drained meanwhile (none: no zolemul).
// Empty, or why the links could not go on (their wait failed for good).
std::string RunSteeredLinks(std::vector<SteeredDevice>& devices, SteerMailbox* mailbox,
                            const std::function<bool()>& finished = {}, DrainedTerminal* console = nullptr);

}  // namespace zolhost
