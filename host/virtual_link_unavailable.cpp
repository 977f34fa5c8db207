// Platforms without ptys (Windows): no virtual links, no baseline responder and no
// link relay, no programs started for the benchmark; zolhost works over --port
// there.
#include "host/child_process.h"
#include "host/commands.h"
#include "host/relay.h"
#include "host/responder.h"
#include "host/virtual_link.h"

namespace zolhost {

namespace {
const char kNoPty[] = "--virtual needs POSIX ptys, which this system does not have; use --port COMn";
const std::string kEmpty;
}  // namespace

bool VirtualLinksAvailable() {
    return false;
}

struct VirtualLink::Impl {};

VirtualLink::VirtualLink() = default;
VirtualLink::~VirtualLink() = default;

bool VirtualLink::Create(const std::string&, const std::string&, std::string* error) {
    *error = kNoPty;
    return false;
}

OsHandle VirtualLink::HostEnd() const {
    return INVALID_HANDLE_VALUE;
}

const std::string& VirtualLink::DevicePath() const {
    return kEmpty;
}

const std::string& VirtualLink::LinkPath() const {
    return kEmpty;
}

int VirtualLink::WaitForPeer(int, std::string* error) {
    *error = kNoPty;
    return -1;
}

int VirtualLink::OpenWatch() const {
    return -1;
}

void VirtualLink::ReleaseDevice() {}
void VirtualLink::RemoveSymlink() {}

struct Responder::Impl {};

Responder::Responder() = default;
Responder::~Responder() = default;

bool Responder::Start(const std::string&, bool, std::string* error) {
    *error = kNoPty;
    return false;
}

void Responder::Stop() {}

DrainedTerminal* Responder::Terminal() {
    return nullptr;
}

int RunLink(const Options&) {
    return kExitUsage;  // main refuses link before it gets here
}

struct DrainedTerminal::Impl {};

DrainedTerminal::DrainedTerminal() = default;
DrainedTerminal::~DrainedTerminal() = default;

bool DrainedTerminal::Open(std::string* error) {
    *error = kNoPty;
    return false;
}

const std::string& DrainedTerminal::SlavePath() const {
    return kEmpty;
}

int DrainedTerminal::Fd() const {
    return -1;
}

bool DrainedTerminal::TakeWaiting() {
    return false;
}

void DrainedTerminal::OnText(TextSeen) {}

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
