// Pty endpoints on POSIX systems: a pty pair from posix_openpt. The device end is
// opened once by zolhost itself and set raw at once (a fresh pty echoes and
// translates line ends), and held until another program opens it, so this end
// does not hang up before then. Opens of the device end are seen through inotify.
// This end reads EIO (or polls a hang-up) while no program has the device end.
// Watching the program's line puts this end in packet mode: each read gives data
// or a status byte, and a change of the device end's settings is such a status.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "host/local/pty_endpoint.h"
#include "host/system/system.h"
#include "serial/com_line.h"

namespace zolhost {

namespace {

// Clears, from the master side, the terminal settings that would change bytes on
// their way. What else the program at the other end sets (the baud rate,
// VMIN/VTIME, ...) stays as it set it.
// With extproc, EXTPROC is kept on as well: in packet mode, it is what has every
// change of the device end's settings told to this end.
void ClearTranslation(int master, bool extproc) {
    termios t{};
    if (tcgetattr(master, &t) != 0) {
        return;
    }
    constexpr tcflag_t kInput = ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | PARMRK;
    constexpr tcflag_t kLocal = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    const bool extprocOff = extproc && (t.c_lflag & EXTPROC) == 0;
    if ((t.c_iflag & kInput) == 0 && (t.c_oflag & OPOST) == 0 && (t.c_lflag & kLocal) == 0 && !extprocOff) {
        return;
    }
    t.c_iflag &= ~kInput;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~kLocal;
    if (extproc) {
        t.c_lflag |= EXTPROC;
    }
    tcsetattr(master, TCSANOW, &t);
}

// The device end's rate and stop bits, as its program set them last.
std::optional<PeerLine> ReadPeerLine(int master) {
    ComLineSettings c;
    if (!ComLineSettingsOf(master, &c)) {
        return std::nullopt;
    }
    PeerLine line;
    line.settings.baud = c.dwBaud;
    line.settings.stopSize = c.nStopBits == 2 ? StopSize::Two : StopSize::One;
    line.frameShown = false;
    return line;
}

}  // namespace

bool PtysAvailable() {
    return true;
}

struct PtyEndpoint::Impl {
    int master = -1;
    ComLine* device = nullptr;  // our own hold on the device end
    int watch = -1;             // inotify instance watching the device end
    bool symlinkOurs = false;
    bool transparent = false;
    bool watching = false;  // packet mode: every read begins with a status byte
    std::optional<PeerLine> peer;
    std::vector<LineNote> notes;

    void Transparent() {
        if (transparent || watching) {
            ClearTranslation(master, watching);
        }
    }

    // A status packet: the program changed its settings or flushed a queue.
    void Status(std::uint8_t status) {
        if ((status & TIOCPKT_IOCTL) != 0) {
            const std::optional<PeerLine> now = ReadPeerLine(master);
            if (now && now != peer) {
                peer = now;
                notes.push_back({LineNote::Kind::Setting, "host set " + PeerLineText(*now)});
            }
        }
        if ((status & TIOCPKT_FLUSHREAD) != 0) {
            notes.push_back({LineNote::Kind::Purge, "host purged its receive queue"});
        }
        if ((status & TIOCPKT_FLUSHWRITE) != 0) {
            notes.push_back({LineNote::Kind::Purge, "host purged its transmit queue"});
        }
    }
};

PtyEndpoint::PtyEndpoint() : impl_(std::make_unique<Impl>()) {}

PtyEndpoint::~PtyEndpoint() {
    RemoveSymlink();
    ReleaseDevice();
    if (impl_->watch >= 0) {
        close(impl_->watch);
    }
    if (impl_->master >= 0) {
        close(impl_->master);
    }
}

bool PtyEndpoint::Create(const std::string& dir, const std::string& linkName, std::string* error) {
    Impl& m = *impl_;
    m.master = OpenPty(&devicePath_);
    if (m.master < 0) {
        *error = std::string("cannot make a virtual link (pty): ") + std::strerror(errno);
        return false;
    }
    const char* name = devicePath_.c_str();
    // Writes on the host end never block: a full queue is reported and retried.
    const int flags = fcntl(m.master, F_GETFL);
    fcntl(m.master, F_SETFL, flags | O_NONBLOCK);

    m.device = ComLineOpen(devicePath_.c_str(), kDeviceComLine, ComLineMode::Shared);
    if (m.device == nullptr) {
        *error = "cannot open " + devicePath_ + " as a serial line: " + SystemErrorText(ComLineError());
        return false;
    }
    // Watched before anyone else can know the device's name.
    m.watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m.watch < 0 || inotify_add_watch(m.watch, name, IN_OPEN) < 0) {
        *error = "cannot watch " + devicePath_ + ": " + std::strerror(errno);
        return false;
    }
    if (linkName.empty()) {
        return true;
    }
    linkPath_ = dir + "/" + linkName;
    // symlink() never replaces an existing file: whatever is there stays.
    if (symlink(name, linkPath_.c_str()) != 0) {
        const int e = errno;
        if (e == EEXIST) {
            char target[PATH_MAX];
            const ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
            *error = "cannot make " + linkPath_ + ": it already exists" +
                     (n > 0 ? " (a symlink to " + std::string(target, static_cast<std::size_t>(n)) + ")" : "") +
                     "; it is not zolhost's to replace: remove it or use another directory";
        } else {
            *error = "cannot make " + linkPath_ + ": " + std::strerror(e);
        }
        linkPath_.clear();
        return false;
    }
    m.symlinkOurs = true;
    return true;
}

void PtyEndpoint::KeepTransparent(bool on) {
    impl_->transparent = on;
    impl_->Transparent();
}

void PtyEndpoint::WatchPeerLine() {
    Impl& m = *impl_;
    if (m.watching) {
        return;
    }
    m.watching = true;
    m.Transparent();
    int on = 1;
    if (ioctl(m.master, TIOCPKT, &on) != 0) {
        m.watching = false;
        return;
    }
    m.peer = ReadPeerLine(m.master);
    // Our own settings above are no news, and must not look like a program's bytes.
    std::uint8_t status[64];
    while (read(m.master, status, sizeof status) > 0) {
    }
}

void PtyEndpoint::TakeNotes(std::vector<LineNote>* out) {
    out->insert(out->end(), impl_->notes.begin(), impl_->notes.end());
    impl_->notes.clear();
}

std::optional<PeerLine> PtyEndpoint::PeerSettings() const {
    return impl_->peer;
}

std::string PtyEndpoint::LineState() const {
    return impl_->peer ? PeerLineText(*impl_->peer) : std::string();
}

Io PtyEndpoint::WaitForPeer(int timeoutMs, std::string* error) {
    Impl& m = *impl_;
    pollfd pfds[2] = {{m.watch, POLLIN, 0}, {StopWakeFd(), POLLIN, 0}};
    const int nfds = pfds[1].fd >= 0 ? 2 : 1;
    for (;;) {
        if (StopRequested()) {
            return Io::Stopped;
        }
        const int r = poll(pfds, nfds, timeoutMs < 0 ? -1 : timeoutMs);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            *error = std::string("cannot wait for the device end: ") + std::strerror(errno);
            return Io::Failed;
        }
        if (r == 0) {
            return Io::Timeout;
        }
        if ((pfds[0].revents & POLLIN) != 0) {
            alignas(inotify_event) char buf[4096];
            const ssize_t n = read(m.watch, buf, sizeof buf);
            for (ssize_t off = 0; off < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buf + off);
                if ((ev->mask & IN_OPEN) != 0) {
                    return Io::Done;
                }
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
    }
}

void PtyEndpoint::ReleaseDevice() {
    if (impl_->device != nullptr) {
        // A plain close: the exclusive mode that the program holding the device
        // end has set belongs to the device and must stay.
        close(static_cast<int>(ComLineRelease(impl_->device)));
        impl_->device = nullptr;
    }
}

void PtyEndpoint::RemoveSymlink() {
    Impl& m = *impl_;
    if (!m.symlinkOurs) {
        return;
    }
    m.symlinkOurs = false;
    // Only while it is still the link we made: a file put in its place stays.
    char target[PATH_MAX];
    const ssize_t n = readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == devicePath_) {
        unlink(linkPath_.c_str());
    }
}

Io PtyEndpoint::Read(std::uint8_t* p, std::size_t n, std::size_t* got) {
    Impl& m = *impl_;
    *got = 0;
    const ssize_t r = read(m.master, p, n);
    if (r > 0 && m.watching) {
        // A packet: its first byte says what it is, data or news of the line.
        if (p[0] != TIOCPKT_DATA) {
            m.Status(p[0]);
            return Io::WouldBlock;
        }
        std::memmove(p, p + 1, static_cast<std::size_t>(r - 1));
        *got = static_cast<std::size_t>(r - 1);
        m.Transparent();
        return *got > 0 ? Io::Done : Io::WouldBlock;
    }
    if (r > 0) {
        *got = static_cast<std::size_t>(r);
        m.Transparent();  // before the program's next write is processed
        return Io::Done;
    }
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
        return Io::WouldBlock;
    }
    // EIO: no program has the device end open any more.
    error_ = "cannot read from " + Name() + ": " + (r == 0 ? "hung up" : std::strerror(errno));
    return r == 0 || errno == EIO ? Io::HungUp : Io::Failed;
}

Io PtyEndpoint::Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) {
    Impl& m = *impl_;
    *taken = 0;
    m.Transparent();  // before these bytes meet the program's settings
    const ssize_t w = n == 0 ? 0 : write(m.master, p, n);
    if (w >= 0) {
        *taken = static_cast<std::size_t>(w);
        return *taken == n ? Io::Done : Io::WouldBlock;
    }
    if (errno == EAGAIN || errno == EINTR) {
        return Io::WouldBlock;
    }
    error_ = "cannot write to " + Name() + ": " + std::strerror(errno);
    return errno == EIO ? Io::HungUp : Io::Failed;
}

Io PtyEndpoint::WaitReadable(int timeoutMs, Beside* beside) {
    return WaitFd(impl_->master, POLLIN, timeoutMs, beside);
}

Io PtyEndpoint::WaitWritable(int timeoutMs, Beside* beside) {
    return WaitFd(impl_->master, POLLOUT, timeoutMs, beside);
}

int PtyEndpoint::PollFd() const {
    return impl_->master;
}

int PtyEndpoint::ComeBackFd() const {
    return impl_->watch;
}

std::size_t PtyEndpoint::PeerUnread() const {
    // The master cannot see the device end's input queue; a look through the
    // device end itself can. Its open is seen by the watch, which only matters once
    // the program has closed its end, and then a hang-up is asked for as well.
    const int fd = open(devicePath_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    int queued = 0;
    if (ioctl(fd, FIONREAD, &queued) != 0 || queued < 0) {
        queued = 0;
    }
    close(fd);
    return static_cast<std::size_t>(queued);
}

Io PtyEndpoint::Reopen() {
    Impl& m = *impl_;
    std::string ignored;
    const bool opened = WaitForPeer(0, &ignored) == Io::Done;
    if (m.device != nullptr) {
        // Never opened yet: an open seen, or bytes from it, say a program has it.
        pollfd p{m.master, POLLIN, 0};
        if (!opened && !(poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0)) {
            return Io::WouldBlock;
        }
        ReleaseDevice();  // from now on its closing is seen as a hang-up
        m.Transparent();
        return Io::Done;
    }
    pollfd p{m.master, POLLIN, 0};
    if (poll(&p, 1, 0) < 0 || (p.revents & POLLHUP) != 0) {
        return Io::WouldBlock;
    }
    // Bytes written just before it closed would greet the next program.
    tcflush(m.master, TCOFLUSH);
    m.Transparent();
    return Io::Done;
}

std::string PtyEndpoint::WhileGone(const std::string&) const {
    return whileGone_.empty() ? " closed; waiting for it to be opened again" : whileGone_;
}

}  // namespace zolhost
