#include "host/serve/serve_run.h"

#include <cstdio>
#include <filesystem>

#include "host/base/text.h"
#include "host/process/emulator_process.h"
#include "host/system/system.h"

namespace zolhost {

namespace {

// The host end a device's link makes, from what was asked for it.
std::string HostPathOf(const std::string& host, const std::string& ptyDir, std::size_t index) {
    if (host == "pty") {
        return ptyDir + "/device-" + std::to_string(index);
    }
    if (host == "rfc2217" || host == "tcp") {
        return host + "://127.0.0.1:0";
    }
    return host;
}

// kExitGood when every device's zolemul ended cleanly at the stop; else each one
// that did not is said, and kExitCheckFailed.
int EndedCleanly(const std::vector<DeviceState>& states) {
    int status = kExitGood;
    for (std::size_t i = 0; i < states.size(); ++i) {
        if (states[i].phase == DeviceState::Phase::Ended && !states[i].summary.endedCleanly) {
            Say("device " + std::to_string(i) + " did not end cleanly: zolemul " + states[i].summary.endError);
            status = kExitCheckFailed;
        }
    }
    return status;
}

// Serves until a stop is requested, standard input ends (when watched) or a
// zolemul ends on its own (kExitCheckFailed).
int WhileServing(const DeviceBoard& board, bool watchStdin) {
    for (;;) {
        if (StopRequested()) {
            return kExitGood;
        }
        if (StdinEnded(watchStdin)) {
            Say("standard input closed: ending every device");
            return kExitGood;
        }
        const std::vector<DeviceState> states = board.Snapshot();
        for (std::size_t i = 0; i < states.size(); ++i) {
            if (states[i].phase == DeviceState::Phase::Ended && !states[i].error.empty()) {
                Say("device " + std::to_string(i) + ": " + states[i].error + "; ending every device");
                return kExitCheckFailed;
            }
        }
    }
}

}  // namespace

bool ServeCanStart(const ServeConfig& c, int* status) {
    std::string error;
    for (const ServedDevice& d : c.devices) {
        if (d.link.device != LinkConfig::DeviceEnd::Builtin && FindEmulator(d.link.deviceExe, &error).empty()) {
            Say(error);
            *status = kExitCheckFailed;
            return false;
        }
    }
    if (!c.manifest.empty() && !CanWriteWhole(c.manifest, &error)) {
        Say(error);
        *status = kExitNoLink;
        return false;
    }
    return true;
}

ServeConfig WithHostEnds(const ServeConfig& c, const std::string& ptyDir) {
    ServeConfig run = c;
    for (std::size_t i = 0; i < run.devices.size(); ++i) {
        run.devices[i].link.hostPath = HostPathOf(run.devices[i].host, ptyDir, i);
    }
    return run;
}

void SayWhatCoresCost(std::size_t zolemuls, unsigned cores) {
    if (zolemuls <= cores) {
        return;
    }
    Say(std::to_string(zolemuls) + " devices on " + std::to_string(cores) +
        " cores: each zolemul polls without sleeping and wants a core of its own, so they share the cores with "
        "each other, the links and the host programs, and nothing else on this machine gets one. Round trips "
        "grow with devices per core: at wire pace, 1.4 ms alone, p99 about 2 ms at 2 a core, 6 ms at 4, 20 ms "
        "at 8 (tools/serve-scale.py on a 2-core machine; docs/many-devices.md)");
}

ServeRun::ServeRun(const ServeConfig& run) : run_(run), board_(run.devices.size()), mailboxOf_(run.devices.size()) {
    for (std::size_t i = 0; i < run.devices.size(); ++i) {
        configs_.push_back(run.devices[i].link);
        if (run.devices[i].link.device == LinkConfig::DeviceEnd::Builtin) {
            builtin_.push_back(i);
        }
    }
    // A mailbox for each thread that runs links, when they are steered: the
    // built-in devices' one, and each zolemul's; the control API hands its
    // commands through them.
    const bool steered = !run.control.empty();
    auto mailbox = [&]() -> SteerMailbox* {
        if (!steered) {
            return nullptr;
        }
        mailboxes_.push_back(std::make_unique<SteerMailbox>());
        return mailboxes_.back().get();
    };
    threads_.reserve(run.devices.size() - builtin_.size() + 1);
    if (!builtin_.empty()) {
        SteerMailbox* box = mailbox();
        for (const std::size_t i : builtin_) {
            mailboxOf_[i] = box;
        }
        threads_.emplace_back([this, box] { ServeBuiltinDevices(configs_, builtin_, board_, box); });
    }
    for (std::size_t i = 0; i < run.devices.size(); ++i) {
        if (configs_[i].device != LinkConfig::DeviceEnd::Builtin) {
            SteerMailbox* box = mailbox();
            mailboxOf_[i] = box;
            threads_.emplace_back([this, i, box] { ServeDevice(configs_[i], i, board_, box); });
        }
    }
}

ServeRun::~ServeRun() {
    StopDevices();
}

void ServeRun::StopDevices() {
    RequestStop();
    for (Thread& t : threads_) {
        t.Join();
    }
}

int ServeRun::WaitUntilUp(bool* up) {
    for (;;) {
        const std::vector<DeviceState> states = board_.Snapshot();
        std::size_t count = 0;
        for (std::size_t i = 0; i < states.size(); ++i) {
            if (states[i].phase == DeviceState::Phase::Failed) {
                Say("device " + std::to_string(i) + " did not come up: " + states[i].error);
                return states[i].status != kExitGood ? states[i].status : kExitCheckFailed;
            }
            count += states[i].phase == DeviceState::Phase::Up ? 1 : 0;
        }
        if (count == states.size()) {
            *up = true;
            return kExitGood;
        }
        if (StopRequested()) {
            Say("stopped before every device was up");
            return kExitGood;
        }
        if (StdinEnded(run_.exitWithStdin)) {
            Say("standard input closed before every device was up");
            return kExitGood;
        }
    }
}

int ServeRun::Serve(unsigned cores, const ControlAt& control) {
    // The file first: once the document is on standard output, the devices are up.
    std::string error;
    const std::string doc = DevicesJson(run_, board_.Snapshot(), cores, control);
    manifest_ = !run_.manifest.empty() && WriteWhole(run_.manifest, doc, &error);
    if (!run_.manifest.empty() && !manifest_) {
        Say(error);
        return kExitNoLink;
    }
    std::printf("%s\n", doc.c_str());
    std::fflush(stdout);
    published_ = true;
    const std::size_t n = run_.devices.size();
    Say("serving " + std::to_string(n) + (n == 1 ? " device" : " devices") + "; " + kServeEndsWith + " ends them");
    return WhileServing(board_, run_.exitWithStdin);
}

int ServeRun::End(int status) {
    StopDevices();
    if (published_) {
        const std::vector<DeviceState> states = board_.Snapshot();
        std::printf("%s\n", SummaryJson(states).c_str());
        std::fflush(stdout);
        status = status != kExitGood ? status : EndedCleanly(states);
    }
    if (manifest_) {
        std::error_code ec;
        std::filesystem::remove(run_.manifest, ec);
    }
    return status;
}

}  // namespace zolhost
