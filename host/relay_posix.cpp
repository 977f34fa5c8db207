// zolhost link on POSIX systems. One thread sleeps in ppoll until bytes arrive, a
// byte falls due on a line, or a closed end may be back. Each direction is a line:
// bytes queue with the time they are due at the far end (10 bit times apart when
// paced, later when a fault holds a reply back) and are written when due; a line
// never reorders. A virtual end whose program closes it is looked at again when
// something opens its device end (inotify) and every 200 ms; a port that fails is
// opened again every 500 ms. Nothing spins while an end is closed.
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>

#include "host/commands.h"
#include "host/fault_plan.h"
#include "host/hex.h"
#include "host/link.h"
#include "host/platform.h"
#include "host/relay.h"
#include "host/relay_frames.h"
#include "host/virtual_link.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kLineLimit = 4096;  // bytes queued on a line before its source is left unread
constexpr auto kReopenCheck = 500ms;
constexpr auto kPortRetry = 500ms;
constexpr std::uint32_t kDefaultPace = 115200;  // the device's own line rate
constexpr int kQuietByteTimes = 4;              // a line this long without bytes is quiet ...
constexpr auto kQuietAtLeast = 2ms;             // ... but never shorter than the system's own hiccups

std::string Printf(const char* format, auto... args) {
    char b[160];
    std::snprintf(b, sizeof b, format, args...);
    return b;
}

// Clears, from the master side of a pty, the terminal settings that would change
// bytes on their way: echo, line editing, signal characters, CR/LF translation,
// XON/XOFF and output processing. What else the program at the other end sets (the
// baud rate, VMIN/VTIME, ...) stays as it set it.
void KeepTransparent(int master) {
    termios t{};
    if (tcgetattr(master, &t) != 0) {
        return;
    }
    constexpr tcflag_t kInput = ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | PARMRK;
    constexpr tcflag_t kLocal = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
    if ((t.c_iflag & kInput) == 0 && (t.c_oflag & OPOST) == 0 && (t.c_lflag & kLocal) == 0) {
        return;
    }
    t.c_iflag &= ~kInput;
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~kLocal;
    tcsetattr(master, TCSANOW, &t);
}

struct End {
    enum class State {
        Unopened,  // virtual: nothing has opened it yet; the link still holds its device end
        Open,
        Closed,    // virtual: its program closed it; port: it failed
    };
    std::string name;                   // the path its user knows
    std::unique_ptr<VirtualLink> link;  // a virtual end ...
    std::string portPath;               // ... or a port
    std::unique_ptr<HostLink> port;
    int fd = -1;  // the pty's master, or the port
    State state = State::Unopened;
    Clock::time_point checkAt{};  // Closed: when to look for it again
    int dataSlot = -1;            // its places in this round's poll set
    int watchSlot = -1;
};

struct Line {
    Line(char a, End* f, End* t) : arrow(a), from(f), to(t) {}
    char arrow;  // '>' host to device, '<' device to host
    End* from;
    End* to;
    Clock::duration byteTime{};  // 0: no pacing
    struct Byte {
        std::uint8_t value;
        Clock::time_point due;
    };
    std::deque<Byte> queue;
    Clock::time_point free{};      // when the last byte queued is through
    Clock::time_point lastInput{};
    bool waitRoom = false;         // the far end took nothing: wait until it can
    std::uint64_t bytes = 0;       // taken from the source
    std::uint64_t lost = 0;        // fell due while the far end was closed
    std::vector<std::uint8_t> noise;  // noise not traced yet, from noiseAt on
    Clock::time_point noiseAt{};
};

struct ReplyCounts {
    std::uint64_t replies = 0, forwarded = 0, unheard = 0, dropped = 0, corrupted = 0, delayed = 0, split = 0;
};

class Relay {
public:
    explicit Relay(const Options& o);
    std::optional<int> Start();  // an exit status when the ends cannot be made
    int Run();

private:
    void Poll(Clock::time_point now);
    void Look(End& e, Clock::time_point now);
    void Opened(End& e);
    void Failed(End& e, const std::string& why, Clock::time_point now);
    void Read(End& e, Line& l, Clock::time_point now);
    void Forward(Line& l, Segment& s, Clock::time_point now);
    void Queue(Line& l, const std::uint8_t* p, std::size_t n, Clock::time_point release);
    void Deliver(Line& l, Clock::time_point now);
    void Quiet(Line& l, Clock::time_point now);
    void Trace(Line& l, const Segment& s, Clock::time_point at, const std::string& done);
    void TraceNoise(Line& l);
    void Summary() const;

    const Options& o_;
    const Clock::time_point start_ = Clock::now();
    End host_;
    End device_;
    Line toDevice_{'>', &host_, &device_};
    Line toHost_{'<', &device_, &host_};
    Clock::duration quiet_{};
    std::optional<Clock::time_point> waitUntil_;
    FaultPlan plan_;
    RequestStream requests_;
    ReplyStream replies_;
    ReplyCounts counts_;
};

Relay::Relay(const Options& o) : o_(o), plan_(o.faults, o.seed) {
    const std::uint32_t pace = o.paceGiven ? o.paceBaud : o.link == LinkKind::Virtual ? kDefaultPace : 0;
    toDevice_.byteTime = toHost_.byteTime = ByteTime(pace);
    quiet_ = std::max<Clock::duration>(ByteTime(pace ? pace : kDefaultPace) * kQuietByteTimes, kQuietAtLeast);
}

std::optional<int> Relay::Start() {
    std::string error;
    if (o_.link == LinkKind::Port) {
        device_.port = std::make_unique<HostLink>();
        if (!device_.port->OpenPort(o_.port, &error)) {
            Say(error);
            return kExitNoLink;
        }
        device_.portPath = o_.port;
        device_.name = device_.port->Name();
        device_.fd = device_.port->Handle();
        device_.state = End::State::Open;
    } else {
        device_.link = std::make_unique<VirtualLink>();
        if (!device_.link->Create(o_.dir, kDevicePortName, &error)) {
            Say(error);
            return kExitNoLink;
        }
        device_.name = device_.link->LinkPath();
        device_.fd = device_.link->HostEnd();
        Say("device end ready: " + device_.name + " -> " + device_.link->DevicePath() + "; start zolemul in " + o_.dir);
        if (o_.waitSeconds > 0) {
            waitUntil_ = start_ + std::chrono::seconds(o_.waitSeconds);
        }
    }
    const std::size_t slash = o_.hostPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : o_.hostPath.substr(0, slash);
    const std::string file = slash == std::string::npos ? o_.hostPath : o_.hostPath.substr(slash + 1);
    host_.link = std::make_unique<VirtualLink>();
    if (!host_.link->Create(dir, file, &error)) {
        Say(error);
        return kExitNoLink;
    }
    host_.name = host_.link->LinkPath();
    host_.fd = host_.link->HostEnd();
    Say("host end ready: " + host_.name + " -> " + host_.link->DevicePath() +
        "; open it from your host program as its serial port");
    const auto pace = toHost_.byteTime.count() > 0 ? Printf("paced at %u baud", o_.paceGiven ? o_.paceBaud : kDefaultPace)
                                                   : std::string("not paced");
    Say("linking " + host_.name + " and " + device_.name + ", " + pace + "; Ctrl-C to stop");
    return std::nullopt;
}

int Relay::Run() {
    // Byte times are shorter than the default timer slack (50 us): wake on time.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    while (!StopRequested()) {
        const auto now = Clock::now();
        for (End* e : {&host_, &device_}) {
            if (e->state == End::State::Closed && now >= e->checkAt) {
                Look(*e, now);
            }
        }
        Deliver(toDevice_, now);
        Deliver(toHost_, now);
        Quiet(toDevice_, now);
        Quiet(toHost_, now);
        if (waitUntil_ && device_.state == End::State::Unopened && now >= *waitUntil_) {
            Say("nothing opened " + device_.name + " within " + std::to_string(o_.waitSeconds) + " s");
            return kExitCheckFailed;
        }
        Poll(now);
    }
    Summary();
    return kExitGood;
}

// Sleeps until something happens on an end or the next thing falls due, and
// handles what happened.
void Relay::Poll(Clock::time_point now) {
    pollfd fds[5];
    nfds_t n = 0;
    fds[n++] = {StopWakeFd(), POLLIN, 0};
    auto add = [&](int fd, short events) {
        if (fd < 0 || events == 0) {
            return -1;
        }
        fds[n] = {fd, events, 0};
        return static_cast<int>(n++);
    };
    std::optional<Clock::time_point> next = waitUntil_;
    auto wakeAt = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    for (Line* l : {&toDevice_, &toHost_}) {
        End& e = *l->from;
        const Line& in = l == &toDevice_ ? toHost_ : toDevice_;
        short events = 0;
        // A closed pty master reports a hang-up at once, for as long as it lasts: it
        // is not watched then.
        if (e.state != End::State::Closed && l->queue.size() < kLineLimit) {
            events |= POLLIN;
        }
        if (e.state == End::State::Open && in.waitRoom) {
            events |= POLLOUT;
        }
        e.dataSlot = add(e.fd, events);
        e.watchSlot = e.link ? add(e.link->OpenWatch(), POLLIN) : -1;
        if (e.state == End::State::Closed) {
            wakeAt(e.checkAt);
        }
        if (!l->queue.empty() && !l->waitRoom) {
            wakeAt(l->queue.front().due);
        }
        if (l == &toDevice_ ? requests_.Pending() || !l->noise.empty() : replies_.Pending() || !l->noise.empty()) {
            wakeAt(l->lastInput + quiet_);
        }
    }
    timespec ts{};
    if (next) {
        const auto left = std::max(*next - now, Clock::duration::zero());
        ts.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(left).count());
        ts.tv_nsec = static_cast<long>((left - std::chrono::seconds(ts.tv_sec)) / 1ns);
    }
    if (ppoll(fds, n, next ? &ts : nullptr, nullptr) <= 0) {
        return;  // time, or a signal: the caller looks at everything again
    }
    now = Clock::now();
    for (Line* l : {&toDevice_, &toHost_}) {
        End& e = *l->from;
        Line& in = l == &toDevice_ ? toHost_ : toDevice_;
        if (e.watchSlot >= 0 && fds[e.watchSlot].revents != 0) {
            std::string ignored;
            const bool opened = e.link->WaitForPeer(0, &ignored) == 1;
            if (e.state == End::State::Unopened && opened) {
                Opened(e);
            } else if (e.state == End::State::Closed) {
                Look(e, now);
            }
        }
        if (e.dataSlot < 0) {
            continue;
        }
        const short rev = fds[e.dataSlot].revents;
        if ((rev & POLLOUT) != 0) {
            in.waitRoom = false;
        }
        if ((rev & POLLIN) != 0) {
            if (e.state == End::State::Unopened) {
                Opened(e);  // bytes from it: something has it open
            }
            Read(e, *l, now);
        } else if ((rev & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            Failed(e, (rev & POLLHUP) != 0 ? "hung up" : "error", now);
        }
    }
}

// A closed end: back yet?
void Relay::Look(End& e, Clock::time_point now) {
    if (e.link) {
        pollfd p{e.fd, POLLIN, 0};
        if (poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0) {
            // Bytes written just before it closed would greet the next program.
            tcflush(e.fd, TCOFLUSH);
            Opened(e);
        } else {
            e.checkAt = now + kReopenCheck;
        }
        return;
    }
    auto port = std::make_unique<HostLink>();
    std::string error;
    if (port->OpenPort(e.portPath, &error)) {
        e.port = std::move(port);
        e.fd = e.port->Handle();
        Opened(e);
    } else {
        e.checkAt = now + kPortRetry;
    }
}

void Relay::Opened(End& e) {
    const bool again = e.state == End::State::Closed;
    if (e.state == End::State::Unopened) {
        e.link->ReleaseDevice();  // from now on its closing is seen as a hang-up
    }
    if (e.link) {
        KeepTransparent(e.fd);
    }
    e.state = End::State::Open;
    Say(e.name + (again ? " opened again" : " opened"));
}

void Relay::Failed(End& e, const std::string& why, Clock::time_point now) {
    if (e.state != End::State::Open) {
        return;
    }
    e.state = End::State::Closed;
    (&e == &device_ ? toDevice_ : toHost_).waitRoom = false;
    if (e.link) {
        e.checkAt = now + kReopenCheck;
        Say(e.name + " closed; waiting for it to be opened again");
    } else {
        e.port.reset();
        e.fd = -1;
        e.checkAt = now + kPortRetry;
        Say(e.name + ": " + why + "; opening it again every " + std::to_string(kPortRetry.count()) + " ms");
    }
}

void Relay::Read(End& e, Line& l, Clock::time_point now) {
    std::uint8_t buf[4096];
    const ssize_t n = read(e.fd, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        // A pty master whose other side has closed reads EIO.
        Failed(e, n == 0 ? "hung up" : std::strerror(errno), now);
        return;
    }
    if (e.link) {
        KeepTransparent(e.fd);  // before the program's next write is processed
    }
    l.bytes += static_cast<std::uint64_t>(n);
    l.lastInput = now;
    std::vector<Segment> segments;
    if (&l == &toDevice_) {
        requests_.Feed(buf, static_cast<std::size_t>(n), &segments);
        Queue(l, buf, static_cast<std::size_t>(n), now);
        for (const Segment& s : segments) {
            Trace(l, s, now, "");
        }
    } else {
        replies_.Feed(buf, static_cast<std::size_t>(n), &segments);
        for (Segment& s : segments) {
            Forward(l, s, now);
        }
    }
}

// Device to host: noise goes on at once; a reply meets its faults.
void Relay::Forward(Line& l, Segment& s, Clock::time_point now) {
    if (s.kind != Segment::Kind::Reply) {
        Queue(l, s.bytes.data(), s.bytes.size(), now);
        Trace(l, s, now, "");
        return;
    }
    const ReplyFaults f = plan_.For(counts_.replies++);
    if (f.drop) {
        ++counts_.dropped;
        Trace(l, s, now, "dropped");
        return;
    }
    if (host_.state != End::State::Open) {
        ++counts_.unheard;
        Queue(l, s.bytes.data(), s.bytes.size(), now);
        Trace(l, s, now, "");
        return;
    }
    ++counts_.forwarded;
    std::string done;
    auto also = [&done](const std::string& what) { done += (done.empty() ? "" : ", ") + what; };
    std::vector<std::uint8_t> bytes = s.bytes;
    if (f.Corrupted()) {
        ApplyCorruption(f, bytes.data());
        ++counts_.corrupted;
        also(Printf("corrupted (offset %d: %02X -> %02X)", f.corruptAt, s.bytes[f.corruptAt], bytes[f.corruptAt]));
    }
    auto release = now;
    if (f.delayMs > 0) {
        release += std::chrono::milliseconds(f.delayMs);
        ++counts_.delayed;
        also(Printf("delayed %d ms", f.delayMs));
    }
    if (f.splitAt > 0) {
        const auto first = static_cast<std::size_t>(f.splitAt);
        Queue(l, bytes.data(), first, release);
        Queue(l, bytes.data() + first, bytes.size() - first, l.free + std::chrono::milliseconds(o_.faults.splitGapMs));
        ++counts_.split;
        also(Printf("split %d+%d, %d ms apart", f.splitAt, static_cast<int>(bytes.size() - first), o_.faults.splitGapMs));
    } else {
        Queue(l, bytes.data(), bytes.size(), release);
    }
    Trace(l, s, now, done);
}

// The bytes go on the line after what is queued, and no sooner than release; each
// is due when its last bit is through.
void Relay::Queue(Line& l, const std::uint8_t* p, std::size_t n, Clock::time_point release) {
    for (std::size_t i = 0; i < n; ++i) {
        l.free = std::max(l.free, release) + l.byteTime;
        l.queue.push_back({p[i], l.free});
    }
}

void Relay::Deliver(Line& l, Clock::time_point now) {
    std::uint8_t buf[4096];
    while (!l.waitRoom) {
        std::size_t n = 0;
        while (n < l.queue.size() && n < sizeof buf && l.queue[n].due <= now) {
            buf[n] = l.queue[n].value;
            ++n;
        }
        if (n == 0) {
            return;
        }
        if (l.to->state != End::State::Open) {
            l.lost += n;  // nothing at the far end: the line's bytes fall on the floor
            l.queue.erase(l.queue.begin(), l.queue.begin() + static_cast<std::ptrdiff_t>(n));
            continue;
        }
        if (l.to->link) {
            KeepTransparent(l.to->fd);  // before these bytes meet the program's settings
        }
        const ssize_t w = write(l.to->fd, buf, n);
        if (w > 0) {
            l.queue.erase(l.queue.begin(), l.queue.begin() + w);
        } else if (w < 0 && errno == EAGAIN) {
            l.waitRoom = true;
        } else if (!(w < 0 && errno == EINTR)) {
            Failed(*l.to, w < 0 ? std::strerror(errno) : "took nothing", now);
        }
    }
}

// A line quiet for a few byte times: bytes that never made a frame are given out.
void Relay::Quiet(Line& l, Clock::time_point now) {
    if (now < l.lastInput + quiet_) {
        return;
    }
    std::vector<Segment> segments;
    if (&l == &toDevice_) {
        requests_.Quiet(&segments);
        for (const Segment& s : segments) {
            Trace(l, s, now, "");
        }
    } else {
        replies_.Quiet(&segments);
        for (Segment& s : segments) {
            Forward(l, s, now);
        }
    }
    TraceNoise(l);
}

// One line per frame on stderr: microseconds since the start, direction, bytes,
// what they are and what the link did to them. Noise is gathered until a frame
// follows or the line goes quiet.
void Relay::Trace(Line& l, const Segment& s, Clock::time_point at, const std::string& done) {
    if (!o_.trace) {
        return;
    }
    if (s.kind == Segment::Kind::Noise) {
        if (l.noise.empty()) {
            l.noiseAt = at;
        }
        l.noise.insert(l.noise.end(), s.bytes.begin(), s.bytes.end());
        return;
    }
    TraceNoise(l);
    std::string what = s.what;
    if (!done.empty()) {
        what += ", " + done;
    } else if (l.to->state != End::State::Open) {
        what += std::string(", lost: the ") + (l.to == &host_ ? "host" : "device") + " end is not open";
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at - start_).count();
    std::fprintf(stderr, "%10lld %c %-26s  %s\n", static_cast<long long>(us), l.arrow,
                 Hex(s.bytes.data(), s.bytes.size()).c_str(), what.c_str());
}

void Relay::TraceNoise(Line& l) {
    if (l.noise.empty()) {
        return;
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(l.noiseAt - start_).count();
    std::fprintf(stderr, "%10lld %c %-26s  noise\n", static_cast<long long>(us), l.arrow,
                 Hex(l.noise.data(), l.noise.size()).c_str());
    l.noise.clear();
}

void Relay::Summary() const {
    const ReplyCounts& c = counts_;
    std::printf("link summary (seed %" PRIu64 "):\n", o_.seed);
    std::printf("  host to device: %" PRIu64 " bytes; requests seen: %" PRIu64 "\n", toDevice_.bytes,
                requests_.GoodRequests());
    std::printf("  device to host: %" PRIu64 " bytes; replies: %" PRIu64 ", forwarded %" PRIu64 ", dropped %" PRIu64
                ", corrupted %" PRIu64 ", delayed %" PRIu64 ", split %" PRIu64,
                toHost_.bytes, c.replies, c.forwarded, c.dropped, c.corrupted, c.delayed, c.split);
    if (c.unheard > 0) {
        std::printf(", while the host end was closed %" PRIu64, c.unheard);
    }
    std::printf("\n");
    if (toDevice_.lost + toHost_.lost > 0) {
        std::printf("  lost while an end was closed: %" PRIu64 " bytes to the device, %" PRIu64 " to the host\n",
                    toDevice_.lost, toHost_.lost);
    }
    std::fflush(stdout);
}

}  // namespace

int RunLink(const Options& o) {
    Relay relay(o);
    if (const std::optional<int> failed = relay.Start()) {
        return *failed;
    }
    return relay.Run();
}

}  // namespace zolhost
