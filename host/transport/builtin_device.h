// The device built into zolhost, as an endpoint: what zolemul is on the wire, from
// the code zolemul runs (the receiving rule of protocol/receiver.h, the reply of
// protocol/frame_rules.h, the held output of serial/held_output.h), with no
// process, port or pty of its own. It works only when it is called: bytes written
// to it arrive in its input queue, which takes what it has room for and no more,
// as a driver's does; the device answers the good requests there as long as its
// output has room for the reply. Replies wait in a modelled driver queue for the
// link to read them, and what that queue cannot take is held whole up to the
// port's bound, as zolemul's port does. Requests it has no room to answer wait in
// the input queue until the link reads, so a host that floods an unpaced link is
// held back by its end (a socket's window, a pty's queue) and no reply is lost.
// An idle device costs nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/transport/endpoint.h"
#include "serial/held_output.h"

namespace zolhost {

class BuiltinDevice : public Endpoint {
public:
    // The bytes its driver queue takes before replies are held: the output queue
    // the port asks its driver for.
    static constexpr std::uint32_t kDriverQueue = kHeldOutputBound;
    // The bytes its input queue takes before a write waits for room: the input
    // queue the port asks its driver for.
    static constexpr std::uint32_t kInputQueue = 4096;

    explicit BuiltinDevice(std::string name) : name_(std::move(name)) {}

    struct Counts {
        std::uint64_t answered = 0;     // good requests, each answered
        std::uint64_t badEnd = 0;       // frames dropped for their end byte
        std::uint64_t badChecksum = 0;  // ... for their checksum
        std::uint64_t refused = 0;      // replies dropped whole: the held output was full
    };
    const Counts& Tally() const { return counts_; }
    // The device's own status line for the latest frame it answered, as zolemul's
    // console shows it ("Frame 3 receivedEA:2E, TORA:D1", without its "\r");
    // empty before the first.
    std::string LastFrame() const;
    // The device's own purge of its port (both queues, and what is held).
    void Purge();
    // Bytes of reply waiting in its driver queue, and held behind it.
    std::size_t Queued() const { return queue_.size() - queueHead_; }
    std::uint32_t Held() const { return held_.Held(); }
    // Bytes waiting in its input queue, not taken by the device yet.
    std::size_t Waiting() const { return in_.size() - inHead_; }

    const std::string& Name() const override { return name_; }
    // The replies in its driver queue; the held bytes move on into the room freed,
    // and the requests waiting are answered as far as there is room now.
    Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) override;
    // Bytes arriving at the device, as many as its input queue has room for (not
    // all: WouldBlock); the requests among them answered as far as there is room.
    Io Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) override;
    Io WaitReadable(int timeoutMs, Beside* beside = nullptr) override;
    Io WaitWritable(int, Beside* = nullptr) override { return Io::Done; }
    int PollFd() const override { return -1; }
    Io Reopen() override { return Io::Done; }
    std::string WhileGone(const std::string& why) const override { return ": " + why; }
    // Replies waiting: at once (no descriptor tells of them).
    std::optional<std::chrono::steady_clock::time_point> ReadyAt() const override;
    // Its input queue has room again (it gains room only as its replies are read).
    std::optional<bool> RoomNow() const override { return Waiting() < kInputQueue; }

private:
    // Its input queue as the receiving rule reads it.
    struct Input {
        BuiltinDevice& d;
        std::int32_t Waiting() const { return static_cast<std::int32_t>(d.in_.size() - d.inHead_); }
        int Take() const { return d.in_[d.inHead_++]; }
    };
    // Its driver queue as the held output writes to it: takes what room it has.
    struct DriverLine {
        BuiltinDevice& d;
        int WriteSome(const unsigned char* p, std::uint32_t cb, std::uint32_t* pcbTaken) const;
        std::uint32_t LastError() const { return 0; }
    };
    // Answers the requests waiting while the output has room for a reply.
    void Work();
    void Answer(std::uint8_t d1);
    static void Compact(std::vector<std::uint8_t>* v, std::size_t* head);

    std::string name_;
    std::vector<std::uint8_t> in_;  // arrived, not taken yet, from inHead_ on
    std::size_t inHead_ = 0;
    std::vector<std::uint8_t> queue_;  // replies in the driver queue, from queueHead_ on
    std::size_t queueHead_ = 0;
    HeldOutput held_;
    Counts counts_;
    std::uint8_t lastD1_ = 0;  // of the latest request answered
};

}  // namespace zolhost
