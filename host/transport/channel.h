// How zolhost talks to a device over an endpoint: sends (whole, or paced at a
// line rate) and finishes every write it starts, receives with deadlines, and
// optionally traces every byte.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/base/clock.h"
#include "host/transport/endpoint.h"

namespace zolhost {

class Channel {
public:
    // Talks over `endpoint`, which stays the caller's and outlives the channel.
    explicit Channel(Endpoint& endpoint) : ep_(endpoint) {}
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    void SetTrace(bool on, const std::string& label);
    // 0: send whole. Otherwise one byte at a time, each when it would be through
    // a line at that rate (8N1).
    void SetPace(std::uint32_t baud) { pace_ = LinePace(baud); }
    // How long a write may wait for the endpoint to take its bytes.
    void SetWriteTimeout(int ms) { writeTimeoutMs_ = ms; }
    // Serves a second descriptor in this link's waits, as a terminal beside the
    // link would be (POSIX): onReadable runs whenever it has something, and returns
    // false once it has nothing more to give.
    void ServeBeside(int fd, std::function<bool()> onReadable) {
        sideFd_ = fd;
        onSide_ = std::move(onReadable);
    }

    // Sends all n bytes, waiting for room as needed. false when the endpoint failed
    // or did not take them all in time (Error() says which).
    bool Send(const std::uint8_t* p, std::size_t n);
    // Waits until bytes arrive (or the deadline passes) and appends them to *out:
    // Done, Timeout, HungUp, Stopped or Failed.
    Io Receive(std::vector<std::uint8_t>* out, Clock::time_point deadline);
    // What Receive's waits need before they end, where the endpoint can tell (a
    // socket): the rest of a reply; 1: any byte.
    void WakeFor(std::size_t n) { ep_.WakeFor(n); }
    // Takes whatever has arrived without waiting; returns how many bytes.
    std::size_t Drain(std::vector<std::uint8_t>* out);

    const std::string& Name() const { return ep_.Name(); }
    const std::string& Error() const { return error_; }

private:
    bool WriteAll(const std::uint8_t* p, std::size_t n);
    void Trace(char dir, const std::uint8_t* p, std::size_t n);
    Io ReadAvailable(std::vector<std::uint8_t>* out);
    void ServeSide();

    Endpoint& ep_;
    std::string error_;
    bool trace_ = false;
    std::string label_;
    LinePace pace_;
    int writeTimeoutMs_ = 2000;
    int sideFd_ = -1;
    std::function<bool()> onSide_;
};

}  // namespace zolhost
