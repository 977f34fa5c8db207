// serve's control API over HTTP: one thread of its own, an event loop over
// non-blocking sockets, so no client, slow, idle or hostile, holds a worker that
// others need or keeps serve from ending. Each connection has a deadline for its
// whole request and an idle limit; connections are bounded in number (past the
// bound the longest idle one goes, or the newcomer is told 503); every request is
// bounded in size (http_message.h) and refused before its body is read when the
// guard (control_guard.h) refuses it. It touches no link: every command goes to
// the thread that runs the device, through that thread's mailbox.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/control/steering.h"

namespace zolhost {

// The most connections the API holds at once.
constexpr int kControlConnections = 128;

class ControlServer {
public:
    // `byDevice`: each device's mailbox, by device number; they outlive the server.
    explicit ControlServer(std::vector<SteerMailbox*> byDevice);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens at "HOST:PORT" (port 0: a free one). `token`, when given, is required
    // of every request to the API; off loopback one is required always (made here
    // when none is given). false with *error.
    bool Start(const std::string& listen, const std::string& token, std::string* error);
    // "http://HOST:PORT/": a wildcard bind (0.0.0.0, [::]) gives this machine's
    // loopback address, which reaches it.
    const std::string& Url() const { return url_; }
    // The token requests must carry; empty: none needed (loopback).
    const std::string& Token() const { return token_; }
    // Stops at once: every connection is closed, and a request waiting for a device
    // gets no answer.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string url_;
    std::string token_;
};

}  // namespace zolhost
