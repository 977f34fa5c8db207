#include "host/net/tcp_socket.h"

#include <algorithm>
#include <iterator>
#include <optional>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace zolhost::net {

namespace {

// The few calls that differ between Winsock and BSD sockets.
#ifdef _WIN32
using Native = SOCKET;
using Length = int;
constexpr int kSendFlags = 0;
using PollFd = WSAPOLLFD;

bool Startup() {
    static const bool ok = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK; }
bool InProgress(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
bool HangUpError(int e) { return e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAESHUTDOWN; }
bool Interrupted(int e) { return e == WSAEINTR; }
std::string ErrorText(int e) { return "Winsock error " + std::to_string(e); }
void CloseNative(Native s) { closesocket(s); }
bool SetNonBlocking(Native s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
int Poll(PollFd* fds, int n, int timeoutMs) { return WSAPoll(fds, static_cast<ULONG>(n), timeoutMs); }
void ReuseAddress(Native) {}  // Windows' SO_REUSEADDR would let another program take the port
// A Winsock socket is made inheritable; none of zolhost's goes to a program it
// starts (run hands its program the standard handles), or that program would hold
// its ports open after zolhost is gone.
Native Kept(Native s) {
    if (s != INVALID_SOCKET) {
        SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    }
    return s;
}
Native NewSocket(int family, int type, int protocol) { return Kept(::socket(family, type, protocol)); }
Native AcceptOn(Native s, sockaddr* from, Length* len) { return Kept(::accept(s, from, len)); }
#else
using Native = int;
using Length = socklen_t;
constexpr int kSendFlags = MSG_NOSIGNAL;
using PollFd = pollfd;

bool Startup() { return true; }
int LastError() { return errno; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }
bool InProgress(int e) { return e == EINPROGRESS; }
bool HangUpError(int e) { return e == ECONNRESET || e == EPIPE; }
bool Interrupted(int e) { return e == EINTR; }
std::string ErrorText(int e) { return std::strerror(e); }
void CloseNative(Native s) { ::close(s); }
bool SetNonBlocking(Native s) {
    const int flags = fcntl(s, F_GETFL);
    return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
int Poll(PollFd* fds, int n, int timeoutMs) { return ::poll(fds, static_cast<nfds_t>(n), timeoutMs); }
void ReuseAddress(Native s) {
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}
// Close-on-exec from the start: a program another thread starts (serve starts a
// zolemul per device) must not hold a socket of ours open, or a client that
// zolhost closes or turns away would never see the connection end.
Native NewSocket(int family, int type, int protocol) { return ::socket(family, type | SOCK_CLOEXEC, protocol); }
Native AcceptOn(Native s, sockaddr* from, Length* len) { return ::accept4(s, from, len, SOCK_CLOEXEC); }
#endif

Native N(const Socket& s) { return static_cast<Native>(s.Handle()); }
std::intptr_t H(Native s) { return static_cast<std::intptr_t>(s); }
#ifdef _WIN32
constexpr Native kBad = INVALID_SOCKET;
#else
constexpr Native kBad = -1;
#endif

void NoDelay(Native s) {
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

std::string AddressText(const sockaddr* a) {
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    const Length len = a->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    getnameinfo(a, len, host, sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    const bool v6 = a->sa_family == AF_INET6;
    return std::string(v6 ? "[" : "") + host + (v6 ? "]:" : ":") + port;
}

// The addresses host:port stands for; nullptr with *error when none.
addrinfo* Resolve(const std::string& host, std::uint16_t port, bool passive, std::string* error) {
    if (!Startup()) {
        *error = "the network is not available (WSAStartup failed)";
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    const int r = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (r != 0 || list == nullptr) {
        *error = "cannot resolve '" + host + "': " + gai_strerror(r);
        return nullptr;
    }
    return list;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        handle_ = other.handle_;
        other.handle_ = kNone;
    }
    return *this;
}

void Socket::Close() {
    if (Valid()) {
        CloseNative(N(*this));
        handle_ = kNone;
    }
}

namespace {

// What a recv or send that returned r did; nullopt when a signal cut it short and
// it is to be made again.
std::optional<IoResult> Outcome(long long r, bool zeroIsHangUp) {
    if (r > 0 || (r == 0 && !zeroIsHangUp)) {
        return IoResult{Io::Done, static_cast<std::size_t>(r), {}};
    }
    if (r == 0) {
        return IoResult{Io::HungUp, 0, {}};
    }
    const int e = LastError();
    if (Interrupted(e)) {
        return std::nullopt;
    }
    if (WouldBlock(e)) {
        return IoResult{Io::WouldBlock, 0, {}};
    }
    return IoResult{HangUpError(e) ? Io::HungUp : Io::Failed, 0, ErrorText(e)};
}

// A length both socket APIs take.
int Chunk(std::size_t n) { return static_cast<int>(n < (1u << 30) ? n : (1u << 30)); }

}  // namespace

IoResult SocketRead(const Socket& s, std::uint8_t* p, std::size_t n) {
    for (;;) {
        if (auto o = Outcome(::recv(N(s), reinterpret_cast<char*>(p), Chunk(n), 0), true)) {
            return *o;
        }
    }
}

IoResult SocketWrite(const Socket& s, const std::uint8_t* p, std::size_t n) {
    for (;;) {
        if (auto o = Outcome(::send(N(s), reinterpret_cast<const char*>(p), Chunk(n), kSendFlags), false)) {
            return *o;
        }
    }
}

void SetReadableAt(const Socket& s, std::size_t n) {
#ifdef _WIN32
    (void)s;
    (void)n;  // Winsock takes no SO_RCVLOWAT
#else
    const int at = static_cast<int>(n);
    setsockopt(N(s), SOL_SOCKET, SO_RCVLOWAT, &at, sizeof at);
#endif
}

bool WaitSocket(const Socket& s, bool writable, int timeoutMs, std::string* error) {
    PollFd fd{};
    fd.fd = N(s);
    fd.events = writable ? POLLOUT : POLLIN;
    const int n = Poll(&fd, 1, timeoutMs);
    if (const int e = n < 0 ? LastError() : 0; e != 0 && error != nullptr && !Interrupted(e)) {
        *error = ErrorText(e);
    }
    return n > 0;
}

bool TcpListener::Listen(const std::string& host, std::uint16_t port, std::string* error) {
    addrinfo* list = Resolve(host, port, true, error);
    if (list == nullptr) {
        return false;
    }
    int lastError = 0;
    for (addrinfo* a = list; a != nullptr && !socket_.Valid(); a = a->ai_next) {
        const Native s = NewSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kBad) {
            lastError = LastError();
            continue;
        }
        ReuseAddress(s);
        if (::bind(s, a->ai_addr, static_cast<Length>(a->ai_addrlen)) != 0 || ::listen(s, 4) != 0 ||
            !SetNonBlocking(s)) {
            lastError = LastError();
            CloseNative(s);
            continue;
        }
        socket_ = Socket(H(s));
    }
    freeaddrinfo(list);
    if (!socket_.Valid()) {
        *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + ErrorText(lastError);
        return false;
    }
    sockaddr_storage bound{};
    Length len = sizeof bound;
    getsockname(N(socket_), reinterpret_cast<sockaddr*>(&bound), &len);
    port_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                        : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return true;
}

Socket TcpListener::Accept(std::string* peer) {
    sockaddr_storage from{};
    Length len = sizeof from;
    const Native s = AcceptOn(N(socket_), reinterpret_cast<sockaddr*>(&from), &len);
    if (s == kBad) {
        return Socket();
    }
    Socket client(H(s));
    if (!SetNonBlocking(s)) {
        return Socket();
    }
    NoDelay(s);
    if (peer != nullptr) {
        *peer = AddressText(reinterpret_cast<const sockaddr*>(&from));
    }
    return client;
}

bool TcpListener::TurnAway(const std::string& line) {
    Socket client = Accept(nullptr);
    if (!client.Valid()) {
        return false;
    }
    {
        const std::string text = line + "\r\n";
        SocketWrite(client, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
#ifdef _WIN32
        shutdown(N(client), SD_SEND);
#else
        shutdown(N(client), SHUT_WR);
#endif
    }
    return true;
}

Socket TcpConnect(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error) {
    addrinfo* list = Resolve(host, port, false, error);
    if (list == nullptr) {
        return Socket();
    }
    std::string why = "no address";
    Socket result;
    for (addrinfo* a = list; a != nullptr && !result.Valid(); a = a->ai_next) {
        const Native s = NewSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == kBad) {
            why = ErrorText(LastError());
            continue;
        }
        Socket candidate(H(s));
        if (!SetNonBlocking(s)) {
            why = ErrorText(LastError());
            continue;
        }
        if (::connect(s, a->ai_addr, static_cast<Length>(a->ai_addrlen)) != 0) {
            const int e = LastError();
            if (!InProgress(e)) {
                why = ErrorText(e);
                continue;
            }
            if (!WaitSocket(candidate, true, timeoutMs)) {
                why = "no answer within " + std::to_string(timeoutMs) + " ms";
                continue;
            }
            int soError = 0;
            Length len = sizeof soError;
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
            if (soError != 0) {
                why = ErrorText(soError);
                continue;
            }
        }
        NoDelay(s);
        result = std::move(candidate);
    }
    freeaddrinfo(list);
    if (!result.Valid()) {
        *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + why;
    }
    return result;
}

#ifdef _WIN32
SocketEvent::SocketEvent() {
    Startup();
    const WSAEVENT e = WSACreateEvent();
    handle_ = e == WSA_INVALID_EVENT ? 0 : reinterpret_cast<std::intptr_t>(e);
}

SocketEvent::~SocketEvent() {
    if (handle_ != 0) {
        WSACloseEvent(reinterpret_cast<WSAEVENT>(handle_));
    }
}

namespace {

void Select(std::intptr_t s, std::intptr_t event) {
    WSAEventSelect(static_cast<Native>(s), reinterpret_cast<WSAEVENT>(event), FD_ACCEPT | FD_READ | FD_WRITE | FD_CLOSE);
}

}  // namespace

std::intptr_t SocketEvent::Handle() {
    if (!armed_ && handle_ != 0) {
        armed_ = true;
        for (const std::intptr_t s : tied_) {
            if (s != Socket::kNone) {
                Select(s, handle_);
            }
        }
    }
    return handle_;
}

void SocketEvent::Tie(const Socket& s) {
    if (handle_ != 0 && s.Valid()) {
        if (armed_) {
            Select(s.Handle(), handle_);
        }
        if (std::find(std::begin(tied_), std::end(tied_), s.Handle()) == std::end(tied_)) {
            std::move(std::begin(tied_) + 1, std::end(tied_), std::begin(tied_));
            tied_[3] = s.Handle();
        }
    }
}

bool SocketEvent::Take() {
    // One look, and a reset when set: "the event object associated with the network
    // events can be reset with WSAResetEvent or WSAEnumNetworkEvents" (WSAEventSelect),
    // and what the caller does next, a read and an accept of every tied socket until
    // they would block, is what re-enables each event to be recorded and set again.
    // The record itself is not wanted: enumerating it costs a call into the system
    // for every tied socket on every wake (under Wine each is three to its server).
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    if (h == nullptr || WaitForSingleObject(h, 0) != WAIT_OBJECT_0) {
        return false;
    }
    WSAResetEvent(h);
    return true;
}
#else
SocketEvent::SocketEvent() = default;
SocketEvent::~SocketEvent() = default;
std::intptr_t SocketEvent::Handle() {
    return handle_;
}
void SocketEvent::Tie(const Socket&) {}
bool SocketEvent::Take() {
    return false;
}
#endif

}  // namespace zolhost::net
