// Windows has no ptys: no pty endpoints; zolhost works over --port there.
#include "host/local/pty_endpoint.h"

namespace zolhost {

namespace {
const char kNoPty[] = "--virtual needs POSIX ptys, which this system does not have; use --port COMn";
}  // namespace

bool PtysAvailable() {
    return false;
}

struct PtyEndpoint::Impl {};

PtyEndpoint::PtyEndpoint() = default;
PtyEndpoint::~PtyEndpoint() = default;

bool PtyEndpoint::Create(const std::string&, const std::string&, std::string* error) {
    *error = kNoPty;
    return false;
}

Io PtyEndpoint::WaitForPeer(int, std::string* error) {
    *error = kNoPty;
    return Io::Failed;
}

void PtyEndpoint::ReleaseDevice() {}
void PtyEndpoint::RemoveSymlink() {}
void PtyEndpoint::KeepTransparent(bool) {}
void PtyEndpoint::WatchPeerLine() {}
void PtyEndpoint::TakeNotes(std::vector<LineNote>*) {}

std::optional<PeerLine> PtyEndpoint::PeerSettings() const {
    return std::nullopt;
}

std::string PtyEndpoint::LineState() const {
    return {};
}

std::size_t PtyEndpoint::PeerUnread() const {
    return 0;
}

Io PtyEndpoint::Read(std::uint8_t*, std::size_t, std::size_t* got) {
    *got = 0;
    return Fail(kNoPty);
}

Io PtyEndpoint::Write(const std::uint8_t*, std::size_t, std::size_t* taken) {
    *taken = 0;
    return Fail(kNoPty);
}

Io PtyEndpoint::WaitReadable(int, Beside*) {
    return Fail(kNoPty);
}

Io PtyEndpoint::WaitWritable(int, Beside*) {
    return Fail(kNoPty);
}

int PtyEndpoint::PollFd() const {
    return -1;
}

int PtyEndpoint::ComeBackFd() const {
    return -1;
}

Io PtyEndpoint::Reopen() {
    return Fail(kNoPty);
}

std::string PtyEndpoint::WhileGone(const std::string&) const {
    return kNoPty;
}

}  // namespace zolhost
