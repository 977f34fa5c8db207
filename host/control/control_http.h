// serve's control API over HTTP (cpp-httplib), on a thread pool of its own. It
// touches no link: every command goes to the thread that runs the device, through
// that thread's mailbox, and is answered from there.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/control/steering.h"

namespace zolhost {

class ControlServer {
public:
    // `byDevice`: each device's mailbox, by device number; they outlive the server.
    explicit ControlServer(std::vector<SteerMailbox*> byDevice);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Listens at "HOST:PORT" (port 0: a free one). `token`, when given, is required
    // of every request; off loopback one is required always (made here when none is
    // given). false with *error.
    bool Start(const std::string& listen, const std::string& token, std::string* error);
    // "http://HOST:PORT/"
    const std::string& Url() const { return url_; }
    // The token requests must carry; empty: none needed (loopback).
    const std::string& Token() const { return token_; }
    // Stops answering; what is being answered is finished first.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string url_;
    std::string token_;
};

}  // namespace zolhost
