// TCP for zolhost's network endpoints: a listener that takes one client at a time
// and a connect, over BSD sockets (POSIX) or Winsock. Sockets are non-blocking and
// have Nagle's delay off: the link carries small frames each way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "host/base/outcome.h"

namespace zolhost::net {

// A socket, closed with its owner.
class Socket {
public:
    Socket() = default;
    explicit Socket(std::intptr_t handle) : handle_(handle) {}
    ~Socket() { Close(); }
    Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    bool Valid() const { return handle_ != kNone; }
    std::intptr_t Handle() const { return handle_; }
    void Close();

    static constexpr std::intptr_t kNone = -1;

private:
    std::intptr_t handle_ = kNone;
};

// What a read or write did: n bytes taken or given, nothing yet, the peer gone, or
// an error (error says which).
struct IoResult {
    Io status;  // Done, WouldBlock, HungUp or Failed
    std::size_t n = 0;
    std::string error;
};

IoResult SocketRead(const Socket& s, std::uint8_t* p, std::size_t n);
IoResult SocketWrite(const Socket& s, const std::uint8_t* p, std::size_t n);

// Readable (to a wait) only once n bytes have come, or a hang-up; where the system
// cannot (Windows), any byte still is.
void SetReadableAt(const Socket& s, std::size_t n);

// Waits up to timeoutMs (-1: without end) until s is readable (or writable). True
// when it is, or when it has an error or hang-up to report. False when the time
// ran out or a signal came, or when the wait itself failed: *error (if given)
// then says why.
bool WaitSocket(const Socket& s, bool writable, int timeoutMs, std::string* error = nullptr);

// Windows: an event that network activity on the sockets tied to it signals (a
// client waiting, bytes, room, the peer leaving), for waits that take handles.
// Elsewhere there is none (descriptors are polled instead).
class SocketEvent {
public:
    SocketEvent();
    ~SocketEvent();
    SocketEvent(const SocketEvent&) = delete;
    SocketEvent& operator=(const SocketEvent&) = delete;
    // The event's handle; 0 where there is none. The first call ties the sockets
    // tied so far: only a wait that takes handles asks for it, and a socket tied
    // to an event that nobody takes costs Wine's server a poll of it over and over
    // while it has bytes unread (a link set waits on its sockets with WSAPoll).
    std::intptr_t Handle();
    // Handle was asked for: a wait takes the event.
    bool Armed() const { return armed_; }
    void Tie(const Socket& s);
    // After a wait, before the sockets are read and accepted from: true when it
    // was set, and it is clear then; an event that comes in between sets it again.
    bool Take();

private:
    std::intptr_t handle_ = 0;
    std::intptr_t tied_[4] = {-1, -1, -1, -1};  // the sockets tied last (a listener, its clients)
    bool armed_ = false;  // Handle was asked for: ties are made at once
};

class TcpListener {
public:
    // Binds host:port (port 0: a free one) and listens. False with *error on failure.
    bool Listen(const std::string& host, std::uint16_t port, std::string* error);
    // The port it is bound to.
    std::uint16_t Port() const { return port_; }
    const Socket& Sock() const { return socket_; }
    // A waiting client, or an invalid socket when none waits. *peer: "127.0.0.1:50312".
    Socket Accept(std::string* peer);
    // Accepts a waiting client, sends it `line` and a newline, and closes it: for
    // clients that come while one is served. false when none was waiting.
    bool TurnAway(const std::string& line);

private:
    Socket socket_;
    std::uint16_t port_ = 0;
};

// Connects to host:port, waiting at most timeoutMs. Invalid with *error on failure.
Socket TcpConnect(const std::string& host, std::uint16_t port, int timeoutMs, std::string* error);

}  // namespace zolhost::net
