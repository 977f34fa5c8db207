// Network endpoints over the TCP helpers and the telnet engine.
#include "host/net/net_endpoint.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#if !defined(_WIN32)
#include <poll.h>

#include <cerrno>
#endif

#include "host/system/system.h"

namespace zolhost::net {

namespace {

constexpr int kWaitSlice = 100;  // ms between looks at the stop flag while waiting
constexpr char kBusy[] = "zolhost: busy, one client at a time";

Io FromResult(const IoResult& r, std::string* error) {
    if (r.status == Io::Failed) {
        *error = r.error;
    }
    return r.status;
}

LineNote::Kind KindOf(PortEvent::Kind k) {
    using K = PortEvent::Kind;
    switch (k) {
    case K::Settings:
    case K::SettingsRefused: return LineNote::Kind::Setting;
    case K::Control:
    case K::FlowSuspend:
    case K::FlowResume: return LineNote::Kind::Control;
    case K::Purge: return LineNote::Kind::Purge;
    case K::OptionRefused:
    case K::Ignored: return LineNote::Kind::Refused;
    default: return LineNote::Kind::Peer;
    }
}

}  // namespace

void NetEndpoint::Begin(Socket s) {
    socket_ = std::move(s);
    event_.Tie(socket_);
    wakeFor_ = 1;
    out_.clear();
    held_.clear();
    ring_.reset();
    socketOwed_ = 0;
    probe_ = false;
    telnet_.reset();
    if (url_.scheme != NetUrl::Scheme::Rfc2217) {
        return;
    }
    telnet_ = std::make_unique<TelnetPort>(server_ ? TelnetPort::Role::Server : TelnetPort::Role::Client);
    scratch_.clear();
    telnet_->Start(&scratch_);
    if (server_) {
        telnet_->SetModemLines(kModemCd | kModemDsr | kModemCts, &scratch_);  // DTR and RTS start on
    }
    Take(scratch_);
    Flush();
}

void NetEndpoint::Note(LineNote::Kind kind, const std::string& text, bool dropToward, bool dropFrom) {
    notes_.push_back({kind, text, dropToward, dropFrom});
}

void NetEndpoint::Take(PortOutput& out) {
    bool control = false;
    bool ringAsked = false;
    for (const PortEvent& e : out.events) {
        const std::string who = server_ ? "host " : "far port: ";
        if (e.kind == PortEvent::Kind::SharedRing) {
            ringAsked = ringAsked || (server_ && e.code == kRingAsk);
            continue;
        }
        if (e.kind == PortEvent::Kind::Purge) {
            // The receive buffer holds what came from the line for the peer; the
            // transmit buffer what the peer gave for the line.
            Note(LineNote::Kind::Purge, who + EventText(e), server_ ? (e.value & kPurgeReceive) != 0 : false,
                 server_ ? (e.value & kPurgeTransmit) != 0 : false);
            if (server_ && (e.value & kPurgeReceive) != 0) {
                held_.clear();
            }
        } else {
            Note(KindOf(e.kind), who + EventText(e));
        }
        control = control || e.kind == PortEvent::Kind::Control;
    }
    out.events.clear();
    out_.insert(out_.end(), out.network.begin(), out.network.end());
    out.network.clear();
    if (server_ && control && telnet_) {
        const PortControl& c = telnet_->Control();
        const std::uint8_t lines =
            static_cast<std::uint8_t>((c.dtr ? kModemDsr | kModemCd : 0) | (c.rts ? kModemCts : 0));
        telnet_->SetModemLines(lines, &out);
        out_.insert(out_.end(), out.network.begin(), out.network.end());
        out.network.clear();
    }
    if (ringAsked) {
        AnswerRingAsk();
    }
}

void NetEndpoint::AnswerRingAsk() {
    if (ring_) {
        return;  // asked again: the rings stand
    }
    std::string offer = "the link polls its sockets";
    if (event_.Armed()) {
        ring_ = SharedRing::Make(event_.Handle(), &offer);
    }
    TelnetPort::SharedRingMessage(ring_ ? kRingOffer : kRingRefused, ring_ ? offer : "", &out_);
    if (ring_) {
        socketOwed_ = out_.size();
        probedAt_ = std::chrono::steady_clock::now();
    }
    Note(LineNote::Kind::Peer, ring_ ? "the client's bytes go through shared memory" : "shared memory refused: " + offer);
}

bool NetEndpoint::Waited() {
    const bool woke = event_.Take();
    if (ring_) {
        const auto now = std::chrono::steady_clock::now();
        // A wake with nothing in the rings, that no read of them since the last
        // wait explains (the link reads before it waits), is the socket's.
        socketWoke_ = (woke && !ringRead_ && ring_->Empty()) || now - probedAt_ >= std::chrono::seconds(1);
        if (socketWoke_) {
            probe_ = true;
            probedAt_ = now;
        }
        ringRead_ = false;
    }
    return woke;
}

Io NetEndpoint::Flush() {
    if (!held_.empty() && telnet_ && !telnet_->Suspended()) {
        out_.insert(out_.end(), held_.begin(), held_.end());
        held_.clear();
    }
    std::size_t sent = 0;
    Io r = Io::Done;
    while (sent < out_.size()) {
        if (ring_ && sent >= socketOwed_) {
            const std::size_t n = ring_->Write(out_.data() + sent, out_.size() - sent);
            sent += n;
            r = n > 0 ? Io::Done : Io::WouldBlock;  // the client's read of the ring wakes the link
            if (n == 0) {
                break;
            }
            continue;
        }
        const std::size_t upTo = ring_ ? socketOwed_ : out_.size();
        const IoResult w = SocketWrite(socket_, out_.data() + sent, upTo - sent);
        r = FromResult(w, &error_);
        if (r != Io::Done) {
            break;
        }
        sent += w.n;
    }
    socketOwed_ -= std::min(socketOwed_, sent);
    out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(sent));
    return r == Io::WouldBlock ? Io::Done : r;
}

Io NetEndpoint::Read(std::uint8_t* p, std::size_t n, std::size_t* got) {
    *got = 0;
    if (!socket_.Valid()) {
        return Io::WouldBlock;
    }
    if (out_.size() > kOutLimit) {
        // The peer makes replies by its requests and reads none of them.
        if (Flush() != Io::Done || out_.size() > kOutLimit) {
            return Fail("the peer reads none of the replies to its requests");
        }
    }
    IoResult r{Io::WouldBlock, 0, {}};
    if (!ring_) {
        r = SocketRead(socket_, p, n);
    } else if ((r.n = ring_->Read(p, n)) > 0) {
        r.status = Io::Done;
        ringRead_ = true;
    } else if (probe_ || ring_->PeerClosed()) {
        probe_ = false;
        r = SocketRead(socket_, p, n);  // the client gone, or (from no client of ours) bytes, taken as they come
    } else {
        return Io::WouldBlock;
    }
    const Io io = FromResult(r, &error_);
    if (io != Io::Done || !telnet_) {
        *got = r.n;
        return io;
    }
    scratch_.clear();
    telnet_->FromNetwork(p, r.n, &scratch_);
    std::copy(scratch_.data.begin(), scratch_.data.end(), p);  // never more than it took
    *got = scratch_.data.size();
    Take(scratch_);
    if (const Io f = Flush(); f != Io::Done) {
        return f;
    }
    return *got > 0 ? Io::Done : Io::WouldBlock;
}

Io NetEndpoint::Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) {
    *taken = 0;
    if (!socket_.Valid()) {
        return Fail("not connected");
    }
    if (const Io f = Flush(); f != Io::Done) {
        return f;
    }
    const bool hold = telnet_ && telnet_->Suspended();
    std::vector<std::uint8_t>& into = hold ? held_ : out_;
    if (into.size() < kOutLimit) {
        *taken = std::min(n, kOutLimit - into.size());
        if (telnet_) {
            TelnetPort::Escape(p, *taken, &into);
        } else {
            into.insert(into.end(), p, p + *taken);
        }
    } else if (hold) {
        // A peer that stops the data for long: what it would not take is dropped
        // rather than held without end, and said so.
        Note(LineNote::Kind::Control, "host suspended data: " + std::to_string(n) + " bytes dropped", true);
        *taken = n;
        return Io::Done;
    }
    if (const Io f = Flush(); f != Io::Done) {
        return f;
    }
    return *taken == n && out_.empty() ? Io::Done : Io::WouldBlock;
}

// Looks at the socket and, on POSIX, at what waits beside it, for up to ms. When
// the wait itself fails, *error says why.
static bool SocketOrBeside(const Socket& s, bool writable, int ms, Beside* beside, std::string* error) {
#if !defined(_WIN32)
    if (beside != nullptr && beside->fd >= 0) {
        pollfd p[2] = {{static_cast<int>(s.Handle()), static_cast<short>(writable ? POLLOUT : POLLIN), 0},
                       {beside->fd, POLLIN, 0}};
        const int n = poll(p, 2, ms);
        if (n < 0 && errno != EINTR) {
            *error = SystemErrorText(static_cast<std::uint32_t>(errno));
        }
        if (n <= 0) {
            return false;
        }
        beside->ready = p[1].revents != 0;
        return p[0].revents != 0;
    }
#else
    (void)beside;
#endif
    return WaitSocket(s, writable, ms, error);
}

Io NetEndpoint::Wait(bool writable, int timeoutMs, Beside* beside) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (StopRequested()) {
            return Io::Stopped;
        }
        if (!socket_.Valid()) {
            return Io::HungUp;
        }
        if (ring_ && !writable && !ring_->Empty()) {
            return Io::Done;
        }
        int slice = kWaitSlice;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            slice = static_cast<int>(std::clamp<long long>(left.count(), 0, kWaitSlice));
        }
        std::string error;
        if (SocketOrBeside(socket_, writable, slice, beside, &error)) {
            return Io::Done;
        }
        if (!error.empty()) {
            return Fail("cannot wait on " + name_ + ": " + error);  // a failure each time would spin here
        }
        if (beside != nullptr && beside->ready) {
            return Io::Timeout;
        }
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= until) {
            return Io::Timeout;
        }
    }
}

void NetEndpoint::WakeFor(std::size_t n) {
    // Not over rfc2217://: the telnet layer's own talk must be read as it comes.
    n = telnet_ ? 1 : std::max<std::size_t>(n, 1);
    if (n != wakeFor_ && socket_.Valid()) {
        wakeFor_ = n;
        SetReadableAt(socket_, n);
    }
}

int NetEndpoint::PollFd() const {
    return static_cast<int>(socket_.Handle());
}

void NetEndpoint::Close() {
    lastState_ = LineState();
    ring_.reset();
    socketOwed_ = 0;
    socket_.Close();
    telnet_.reset();
    out_.clear();
    held_.clear();
}

void NetEndpoint::TakeNotes(std::vector<LineNote>* out) {
    out->insert(out->end(), notes_.begin(), notes_.end());
    notes_.clear();
}

std::string NetEndpoint::LineState() const {
    if (!telnet_) {
        return lastState_;
    }
    const PortControl& c = telnet_->Control();
    std::string s = SettingsText(telnet_->Settings());
    if (server_) {
        s += std::string(", DTR ") + (c.dtr ? "on" : "off") + ", RTS " + (c.rts ? "on" : "off");
    }
    return s;
}

std::optional<PeerLine> NetEndpoint::PeerSettings() const {
    if (!server_ || !telnet_) {
        return std::nullopt;
    }
    return PeerLine{telnet_->Settings(), true};
}

bool ListenEndpoint::Listen(std::string* error) {
    if (!listener_.Listen(url_.host, url_.port, error)) {
        return false;
    }
    event_.Tie(listener_.Sock());
    NetUrl bound = url_;
    bound.port = listener_.Port();
    name_ = UrlText(bound);
    return true;
}

// Until a client comes, the listener is what the link sleeps on.
int ListenEndpoint::PollFd() const {
    return Connected() ? NetEndpoint::PollFd() : static_cast<int>(listener_.Sock().Handle());
}

int ListenEndpoint::ComeBackFd() const {
    return static_cast<int>(listener_.Sock().Handle());
}

int ListenEndpoint::BusyFd() const {
    return Connected() ? static_cast<int>(listener_.Sock().Handle()) : -1;
}

void ListenEndpoint::TurnAway() {
    if (RingWake()) {
        return;  // the client's rings woke the wait, not a second client
    }
    if (listener_.TurnAway(kBusy)) {
        Note(LineNote::Kind::Peer, "another client turned away: one at a time");
    }
}

Io ListenEndpoint::Reopen() {
    if (Connected()) {
        return Io::Done;
    }
    std::string peer;
    Socket s = listener_.Accept(&peer);
    if (!s.Valid()) {
        return Io::WouldBlock;
    }
    Note(LineNote::Kind::Peer, "client " + peer + " connected");
    Begin(std::move(s));
    return Io::Done;
}

void ListenEndpoint::Unplug() {
    listener_ = TcpListener();
    Close();
}

std::string ListenEndpoint::WhileGone(const std::string& why) const {
    return ": the client left (" + why + "); waiting for the next";
}

bool ConnectEndpoint::Open(int timeoutMs, std::string* error) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Socket s = TcpConnect(url_.host, url_.port, timeoutMs, error);
    if (!s.Valid()) {
        return false;
    }
    Begin(std::move(s));
    if (!Telnet()) {
        return true;
    }
    // Answers come in before any data: wait for them, keeping what data comes.
    std::uint8_t buf[512];
    while (Telnet()->ComPort() != TelnetPort::Agreement::Agreed || !Telnet()->SettingsAnswered()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || Telnet()->ComPort() == TelnetPort::Agreement::Refused ||
            Wait(false, static_cast<int>(left.count())) != Io::Done) {
            *error = StopRequested() ? "interrupted" : "no RFC 2217 at " + name_;
            Close();
            return false;
        }
        std::size_t got = 0;
        const Io r = Read(buf, sizeof buf, &got);
        early_.insert(early_.end(), buf, buf + got);
        if (r == Io::HungUp || r == Io::Failed) {
            *error = "no RFC 2217 at " + name_ + (r == Io::HungUp ? ": the server closed the connection" : ": " + Error());
            Close();
            return false;
        }
    }
    return true;
}

Io ConnectEndpoint::Read(std::uint8_t* p, std::size_t n, std::size_t* got) {
    if (!early_.empty()) {
        *got = std::min(n, early_.size());
        std::copy(early_.begin(), early_.begin() + static_cast<std::ptrdiff_t>(*got), p);
        early_.erase(early_.begin(), early_.begin() + static_cast<std::ptrdiff_t>(*got));
        return Io::Done;
    }
    return NetEndpoint::Read(p, n, got);
}

Io ConnectEndpoint::Reopen() {
    if (Connected()) {
        return Io::Done;
    }
    std::string error;
    return Open(Endpoint::kReopenMs, &error) ? Io::Done : Io::WouldBlock;
}

std::string ConnectEndpoint::WhileGone(const std::string& why) const {
    return ": connection lost (" + why + "); connecting again";
}

}  // namespace zolhost::net
