// Programs started for the benchmark, and drained terminals, need POSIX ptys and
// fork/exec: on Windows Start and Open say so.
#include "host/process/child_process.h"

namespace zolhost {

namespace {
const char kNoPty[] = "starting programs for the benchmark needs POSIX ptys, which this system does not have";
}  // namespace

struct DrainedTerminal::Impl {
    std::string none;
};

DrainedTerminal::DrainedTerminal() : impl_(std::make_unique<Impl>()) {}
DrainedTerminal::~DrainedTerminal() = default;

bool DrainedTerminal::Open(std::string* error) {
    *error = kNoPty;
    return false;
}

const std::string& DrainedTerminal::SlavePath() const {
    return impl_->none;
}

int DrainedTerminal::Fd() const {
    return -1;
}

bool DrainedTerminal::TakeWaiting() {
    return false;
}

void DrainedTerminal::OnText(TextSeen) {}

const std::string& DrainedTerminal::LatestFrameText() const {
    return impl_->none;
}

bool DrainedTerminal::PressKey(char) {
    return false;
}

struct ChildProcess::Impl {};

ChildProcess::ChildProcess() = default;
ChildProcess::~ChildProcess() = default;

bool ChildProcess::Start(const Launch&, std::string* error) {
    *error = kNoPty;
    return false;
}

std::int64_t ChildProcess::Pid() const {
    return -1;
}

bool ChildProcess::Running() {
    return false;
}

std::optional<int> ChildProcess::Wait(int) {
    return std::nullopt;
}

std::optional<int> ChildProcess::Terminate(int) {
    return std::nullopt;
}

bool RunsCleanly(const std::vector<std::string>&, int) {
    return false;
}

}  // namespace zolhost
