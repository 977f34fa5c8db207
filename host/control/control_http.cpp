#include "host/control/control_http.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <random>

#include "host/base/text.h"
#include "host/control/control_guard.h"
#include "host/control/http_message.h"
#include "host/system/threads.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr auto kAnswerWithin = 2000ms;  // a device's thread, to answer a command
constexpr auto kWholeRequest = 5s;      // from a request's first byte to its last
constexpr auto kIdleLimit = 15s;        // a kept-alive connection with nothing asked
constexpr auto kSendWithin = 5s;        // an answer, to be taken by its client
constexpr auto kDrainFor = 1s;          // after a last answer, what the client still sends is read and dropped
constexpr std::size_t kDrainMost = 1 << 20;
constexpr std::size_t kHeldOutput = 64 * 1024;  // answers not yet sent, past which no more requests are read
constexpr std::size_t kReadPiece = 16 * 1024;
constexpr int kBacklog = 1024;

struct Connection {
    int fd = -1;
    HttpRequestReader reader;
    std::string pending;  // bytes read and not yet taken (requests behind answers not yet sent)
    std::string out;      // answers to send
    std::size_t sent = 0;
    bool closing = false;   // no more requests: closed once `out` is sent
    bool draining = false;  // `out` sent, our side shut: what comes is dropped until the client closes
    bool timing = false;    // a request is being read, since requestStart
    std::size_t drained = 0;
    Steady::time_point requestStart;
    Steady::time_point sendStart;
    Steady::time_point lastUsed;
    Steady::time_point drainUntil;

    Steady::time_point Deadline() const {
        if (draining) {
            return drainUntil;
        }
        if (!out.empty()) {
            return sendStart + kSendWithin;
        }
        return timing ? requestStart + kWholeRequest : lastUsed + kIdleLimit;
    }
    bool Idle() const { return !timing && out.empty() && pending.empty() && !closing; }
    // A request is coming, and nothing is answered yet.
    bool Awaited() const { return timing && out.empty() && !closing; }
};

std::string MadeToken() {
    std::random_device rd;
    std::string t;
    char b[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(b, sizeof b, "%08x", static_cast<unsigned>(rd()));
        t += b;
    }
    return t;
}

// A token must go in a header and a cookie as it is.
bool TokenFits(const std::string& t) {
    return t.size() <= 256 && std::all_of(t.begin(), t.end(), [](char c) {
               return c > ' ' && c < 0x7f && c != ';' && c != ',' && c != '"' && c != '\\';
           });
}

// One send, without waiting: for a client that is turned away.
void SendOnce(int fd, const std::string& text) {
    (void)!send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

HttpResponse ErrorResponse(int status, const std::string& error) {
    return ControlResponse(ControlError(status, error));
}

}  // namespace

struct ControlServer::Impl {
    std::vector<SteerMailbox*> byDevice;
    ControlAccess access;
    ControlContext context;
    int listener = -1;
    Doorbell wake;
    std::atomic<bool> stopping{false};
    std::unique_ptr<Thread> thread;
    std::list<Connection> connections;
    Steady::time_point acceptPausedUntil{};

    ~Impl() {
        if (listener >= 0) {
            close(listener);
        }
    }
    void Run();
    void Accept(Steady::time_point now);
    bool MakeRoom();
    bool Service(Connection& c, short revents, Steady::time_point now);  // false: close it
    bool Flush(Connection& c, Steady::time_point now);                   // false: close it
    void Feed(Connection& c, Steady::time_point now);
    void Respond(Connection& c, const HttpResponse& r, bool keepAlive, bool headOnly, Steady::time_point now);
};

void ControlServer::Impl::Respond(Connection& c, const HttpResponse& r, bool keepAlive, bool headOnly,
                                  Steady::time_point now) {
    if (c.out.empty()) {
        c.sendStart = now;
    }
    c.out += ResponseText(r, keepAlive, headOnly);
    c.closing = c.closing || !keepAlive;
    c.lastUsed = now;
}

// Takes what is pending as requests and answers them in order, until an answer
// closes the connection or the answers not yet sent are too many.
void ControlServer::Impl::Feed(Connection& c, Steady::time_point now) {
    using Phase = HttpRequestReader::Phase;
    std::size_t at = 0;
    HttpRequestReader& r = c.reader;
    while (!c.closing && c.out.size() - c.sent < kHeldOutput) {
        if (r.State() == Phase::Head || r.State() == Phase::Body) {
            if (at == c.pending.size()) {
                break;
            }
            at += r.Take(c.pending.data() + at, c.pending.size() - at);
            if (r.Started() && !c.timing) {
                c.timing = true;
                c.requestStart = now;
            }
        } else if (r.State() == Phase::HeadReady) {
            if (const std::optional<ControlAnswer> refused = AdmitControl(r.Request(), access)) {
                Respond(c, ControlResponse(*refused), false, false, now);  // its body, if any, is never read
            } else if (const std::string* expect = r.Request().Header("expect")) {
                if (AsciiLower(*expect) != "100-continue") {
                    Respond(c, ErrorResponse(417, "only Expect: 100-continue is met"), false, false, now);
                } else {
                    if (r.Request().hasBody && r.Request().minorVersion == 1) {
                        c.sendStart = c.out.empty() ? now : c.sendStart;
                        c.out += "HTTP/1.1 100 Continue\r\n\r\n";  // the client waits for it before its body
                    }
                    r.ReadBody();
                }
            } else {
                r.ReadBody();
            }
        } else if (r.State() == Phase::Ready) {
            const HttpRequest& q = r.Request();
            Respond(c, AnswerRequest(q, access, context), q.KeepAlive(), q.method == "HEAD", now);
            r.Next();
            c.timing = false;
        } else {
            Respond(c, ErrorResponse(r.FailStatus(), r.FailReason()), false, false, now);
        }
    }
    c.pending.erase(0, at);
    if (c.closing) {
        c.pending.clear();
    }
}

bool ControlServer::Impl::Flush(Connection& c, Steady::time_point now) {
    while (c.sent < c.out.size()) {
        const ssize_t n = send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        c.sent += static_cast<std::size_t>(n);
    }
    c.out.clear();
    c.sent = 0;
    if (c.closing && !c.draining) {
        shutdown(c.fd, SHUT_WR);
        c.draining = true;
        c.drainUntil = now + kDrainFor;
    }
    return true;
}

bool ControlServer::Impl::Service(Connection& c, short revents, Steady::time_point now) {
    if ((revents & (POLLERR | POLLNVAL)) != 0) {
        return false;
    }
    if (!c.out.empty() && !Flush(c, now)) {
        return false;
    }
    if ((revents & (POLLIN | POLLHUP)) != 0 && c.draining) {
        char drop[kReadPiece];
        const ssize_t n = recv(c.fd, drop, sizeof drop, 0);
        c.drained += n > 0 ? static_cast<std::size_t>(n) : 0;
        return n > 0 ? c.drained < kDrainMost : n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    if ((revents & (POLLIN | POLLHUP)) != 0 && !c.closing && c.pending.size() < kReadPiece) {
        char buf[kReadPiece];
        const ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (n > 0) {
            c.pending.append(buf, static_cast<std::size_t>(n));
        }
        Feed(c, now);
        if (n == 0) {
            // The client has said all it will: what it asked is answered, then it goes.
            if (c.out.empty()) {
                return false;
            }
            c.closing = true;
        }
    }
    if (c.out.empty() && !c.pending.empty() && !c.closing) {
        Feed(c, now);  // requests held back behind answers now sent
    }
    return c.out.empty() || Flush(c, now);
}

// Makes room for a newcomer: the connection idle longest goes, else the one whose
// request has been coming longest (a slow client's: it cannot hold every place).
bool ControlServer::Impl::MakeRoom() {
    auto idle = connections.end();
    auto slow = connections.end();
    for (auto i = connections.begin(); i != connections.end(); ++i) {
        if (i->Idle() && (idle == connections.end() || i->lastUsed < idle->lastUsed)) {
            idle = i;
        }
        if (i->Awaited() && (slow == connections.end() || i->requestStart < slow->requestStart)) {
            slow = i;
        }
    }
    const auto chosen = idle != connections.end() ? idle : slow;
    if (chosen == connections.end()) {
        return false;
    }
    close(chosen->fd);
    connections.erase(chosen);
    return true;
}

void ControlServer::Impl::Accept(Steady::time_point now) {
    for (int i = 0; i < 64; ++i) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                acceptPausedUntil = now + 100ms;  // the listener stays readable: not polled for a while
            }
            if (errno == ECONNABORTED || errno == EINTR) {
                continue;
            }
            return;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (static_cast<int>(connections.size()) >= kControlConnections && !MakeRoom()) {
            HttpResponse busy = ErrorResponse(503, "the control API holds " + std::to_string(kControlConnections) +
                                                       " connections, the most it takes; try again once one closes");
            busy.headers.emplace_back("Retry-After", "1");
            SendOnce(fd, ResponseText(busy, false));
            close(fd);
            continue;
        }
        Connection& c = connections.emplace_back();
        c.fd = fd;
        c.lastUsed = now;
    }
}

void ControlServer::Impl::Run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> of;
    while (!stopping) {
        Steady::time_point now = Steady::now();
        for (auto i = connections.begin(); i != connections.end();) {
            if (i->Deadline() > now) {
                ++i;
                continue;
            }
            if (i->Awaited()) {
                SendOnce(i->fd, ResponseText(ErrorResponse(408, "the request did not come whole within " +
                                                                     std::to_string(kWholeRequest.count()) + " s"),
                                             false));
            }
            close(i->fd);
            i = connections.erase(i);
        }
        fds.assign({{wake.Fd(), POLLIN, 0}, {now >= acceptPausedUntil ? listener : -1, POLLIN, 0}});
        of.clear();
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(now >= acceptPausedUntil ? 1000ms : 100ms);
        for (Connection& c : connections) {
            short events = 0;
            if (c.draining || (!c.closing && c.pending.size() < kReadPiece && c.out.size() < kHeldOutput)) {
                events |= POLLIN;
            }
            if (!c.out.empty()) {
                events |= POLLOUT;
            }
            fds.push_back({c.fd, events, 0});
            of.push_back(&c);
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(c.Deadline() - now));
        }
        const int n = poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait.count(), 0)));
        if (n < 0 && errno != EINTR) {
            Say(std::string("the control API stops: its wait failed (") + std::strerror(errno) + ")");
            break;
        }
        if (n <= 0 || fds[0].revents != 0) {
            continue;
        }
        now = Steady::now();
        if (fds[1].revents != 0) {
            Accept(now);
        }
        for (std::size_t i = 0; i < of.size(); ++i) {
            if (fds[i + 2].revents != 0 && !Service(*of[i], fds[i + 2].revents, now)) {
                close(of[i]->fd);
                of[i]->fd = -1;
            }
        }
        connections.remove_if([](const Connection& c) { return c.fd < 0; });
    }
    for (Connection& c : connections) {
        close(c.fd);
    }
    connections.clear();
}

ControlServer::ControlServer(std::vector<SteerMailbox*> byDevice) : impl_(std::make_unique<Impl>()) {
    impl_->byDevice = std::move(byDevice);
}

ControlServer::~ControlServer() {
    Stop();
}

bool ControlServer::Start(const std::string& listen, const std::string& token, std::string* error) {
    const std::size_t colon = listen.rfind(':');
    std::string host = colon == std::string::npos ? std::string() : listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const std::string port = colon == std::string::npos ? std::string() : listen.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        *error = "--control wants HOST:PORT (port 0: a free one), not \"" + listen + "\"";
        return false;
    }
    if (!TokenFits(token)) {
        *error = "--control-token must be at most 256 visible ASCII characters, without ; , \" or \\";
        return false;
    }
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int e = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); e != 0) {
        *error = "the control API cannot listen at " + listen + ": " + gai_strerror(e);
        return false;
    }
    sockaddr_storage at{};
    socklen_t atLength = static_cast<socklen_t>(found->ai_addrlen);
    std::memcpy(&at, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    // SO_REUSEADDR lets a restarted serve take its port while old connections
    // linger; no SO_REUSEPORT, which would let another process share it.
    const int fd = socket(at.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&at), atLength) != 0 || ::listen(fd, kBacklog) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &atLength) != 0) {
        *error = "the control API cannot listen at " + listen + ": " + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    impl_->listener = fd;
    char numeric[INET6_ADDRSTRLEN] = "";
    char service[8] = "";
    getnameinfo(reinterpret_cast<const sockaddr*>(&at), atLength, numeric, sizeof numeric, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
    const auto boundPort = static_cast<std::uint16_t>(std::stoi(service));
    const bool v6 = at.ss_family == AF_INET6;
    bool loopback = false;
    bool wildcard = false;
    if (v6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&at)->sin6_addr;
        wildcard = IN6_IS_ADDR_UNSPECIFIED(&a);
        loopback = IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    } else {
        const std::uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(&at)->sin_addr.s_addr);
        wildcard = a == INADDR_ANY;
        loopback = (a >> 24) == 127;
    }
    token_ = !token.empty() || loopback ? token : MadeToken();
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    impl_->access = AccessFor(numeric, boundPort, loopback, wildcard, name, token_);
    const std::string urlHost = wildcard ? (v6 ? "[::1]" : "127.0.0.1") : v6 ? "[" + std::string(numeric) + "]" : numeric;
    url_ = "http://" + urlHost + ":" + std::to_string(boundPort) + "/";
    impl_->context.devices = impl_->byDevice.size();
    std::vector<SteerMailbox*> byDevice = impl_->byDevice;
    impl_->context.ask = [byDevice](const SteerCommand& c) { return byDevice.at(c.device)->Ask(c, kAnswerWithin); };
    Impl* impl = impl_.get();
    impl_->thread = std::make_unique<Thread>([impl] { impl->Run(); });
    return true;
}

void ControlServer::Stop() {
    if (!impl_->thread) {
        return;
    }
    impl_->stopping = true;
    for (SteerMailbox* box : impl_->byDevice) {
        if (box != nullptr) {
            box->Close();  // a request waiting for its device is let go at once
        }
    }
    impl_->wake.Ring();
    impl_->thread->Join();
    impl_->thread.reset();
}

}  // namespace zolhost
