// Virtual links on POSIX systems: a pty pair from posix_openpt. The device end is
// opened once by zolhost itself and set raw at once (a fresh pty echoes and
// translates line ends), and held until another program opens it, so the host end
// does not hang up before then. Opens of the device end are seen through inotify.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "host/link.h"
#include "host/platform.h"
#include "host/virtual_link.h"
#include "serial/com_line.h"

namespace zolhost {

bool VirtualLinksAvailable() {
    return true;
}

struct VirtualLink::Impl {
    int master = -1;
    OsHandle device = INVALID_HANDLE_VALUE;  // our own hold on the device end
    int watch = -1;                          // inotify instance watching the device end
    std::string devicePath;
    std::string linkPath;
    bool symlinkOurs = false;
};

VirtualLink::VirtualLink() : impl_(std::make_unique<Impl>()) {}

VirtualLink::~VirtualLink() {
    RemoveSymlink();
    ReleaseDevice();
    if (impl_->watch >= 0) {
        close(impl_->watch);
    }
    if (impl_->master >= 0) {
        close(impl_->master);
    }
}

bool VirtualLink::Create(const std::string& dir, const std::string& linkName, std::string* error) {
    Impl& m = *impl_;
    m.master = OpenPty(&m.devicePath);
    if (m.master < 0) {
        *error = std::string("cannot make a virtual link (pty): ") + std::strerror(errno);
        return false;
    }
    const char* name = m.devicePath.c_str();
    // Writes on the host end never block: a full queue is reported and retried.
    const int flags = fcntl(m.master, F_GETFL);
    fcntl(m.master, F_SETFL, flags | O_NONBLOCK);

    m.device = ComOpenLine(m.devicePath.c_str(), ComLineSettings{}, OsOpenMode::Shared);
    if (m.device == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + m.devicePath + " as a serial line: " + SystemErrorText(OsLastError());
        return false;
    }
    // Watched before anyone else can know the device's name.
    m.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m.watch < 0 || inotify_add_watch(m.watch, name, IN_OPEN) < 0) {
        *error = "cannot watch " + m.devicePath + ": " + std::strerror(errno);
        return false;
    }
    if (linkName.empty()) {
        return true;
    }
    m.linkPath = dir + "/" + linkName;
    // symlink() never replaces an existing file: whatever is there stays.
    if (symlink(name, m.linkPath.c_str()) != 0) {
        const int e = errno;
        if (e == EEXIST) {
            char target[PATH_MAX];
            const ssize_t n = readlink(m.linkPath.c_str(), target, sizeof target - 1);
            *error = "cannot make " + m.linkPath + ": it already exists" +
                     (n > 0 ? " (a symlink to " + std::string(target, static_cast<std::size_t>(n)) + ")" : "") +
                     "; it is not zolhost's to replace: remove it or use another directory";
        } else {
            *error = "cannot make " + m.linkPath + ": " + std::strerror(e);
        }
        m.linkPath.clear();
        return false;
    }
    m.symlinkOurs = true;
    return true;
}

OsHandle VirtualLink::HostEnd() const {
    return impl_->master;
}

const std::string& VirtualLink::DevicePath() const {
    return impl_->devicePath;
}

const std::string& VirtualLink::LinkPath() const {
    return impl_->linkPath;
}

int VirtualLink::WaitForPeer(int timeoutMs, std::string* error) {
    Impl& m = *impl_;
    pollfd pfds[2] = {{m.watch, POLLIN, 0}, {StopWakeFd(), POLLIN, 0}};
    const int nfds = pfds[1].fd >= 0 ? 2 : 1;
    for (;;) {
        if (StopRequested()) {
            return -1;
        }
        const int r = poll(pfds, nfds, timeoutMs < 0 ? -1 : timeoutMs);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            *error = std::string("cannot wait for the device end: ") + std::strerror(errno);
            return -1;
        }
        if (r == 0) {
            return 0;
        }
        if ((pfds[0].revents & POLLIN) != 0) {
            alignas(inotify_event) char buf[4096];
            const ssize_t n = read(m.watch, buf, sizeof buf);
            for (ssize_t off = 0; off < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                if ((ev->mask & IN_OPEN) != 0) {
                    return 1;
                }
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
    }
}

int VirtualLink::OpenWatch() const {
    return impl_->watch;
}

void VirtualLink::ReleaseDevice() {
    if (impl_->device != INVALID_HANDLE_VALUE) {
        // A plain close: the exclusive mode that the program holding the device
        // end has set belongs to the device and must stay.
        close(impl_->device);
        impl_->device = INVALID_HANDLE_VALUE;
    }
}

void VirtualLink::RemoveSymlink() {
    Impl& m = *impl_;
    if (!m.symlinkOurs) {
        return;
    }
    m.symlinkOurs = false;
    // Only while it is still the link we made: a file put in its place stays.
    char target[PATH_MAX];
    const ssize_t n = readlink(m.linkPath.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == m.devicePath) {
        unlink(m.linkPath.c_str());
    }
}

}  // namespace zolhost
