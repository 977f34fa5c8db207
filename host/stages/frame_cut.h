// What `zolhost link` makes of the bytes going each way: frames, and the noise
// between them.
//  - Host to device: requests as the device's receiver takes them (ReceiverModel), so
//    the trace says what the device will do with each frame.
//  - Device to host: replies as a host program cuts them (ReplyCutter). Bytes of a
//    reply are held until it is whole, so that faults apply to whole replies;
//    noise is given out at once.
// Bytes that never complete a frame are given out when the caller says the line
// has gone quiet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/receiver.h"
#include "protocol/reply_cutter.h"

namespace zolhost {

struct Segment {
    enum class Kind { Noise, Waiting, Request, Reply };
    Kind kind;
    std::vector<std::uint8_t> bytes;
    std::string what;  // "request D1 5A", "reply EA A5 good", "reply bad checksum", "noise"
    bool good = false; // a request the device answers; a reply whose checks pass
};

class RequestStream {
public:
    void Feed(const std::uint8_t* p, std::size_t n, std::vector<Segment>* out);
    // Bytes not given out yet: those the receiver has dropped as noise, and those it
    // still holds (Waiting: fewer than a frame; more bytes may complete them).
    void Quiet(std::vector<Segment>* out);
    bool Pending() const { return shown_ < total_; }
    std::uint64_t GoodRequests() const { return good_; }

private:
    void Emit(Segment::Kind kind, std::uint64_t from, std::uint64_t to, std::string what, std::vector<Segment>* out);

    ReceiverModel receiver_;
    std::vector<std::uint8_t> bytes_;  // the stream from offset base_ on
    std::uint64_t base_ = 0;
    std::uint64_t shown_ = 0;  // everything before this offset has been given out
    std::uint64_t total_ = 0;
    std::uint64_t good_ = 0;
};

class ReplyStream {
public:
    void Feed(const std::uint8_t* p, std::size_t n, std::vector<Segment>* out);
    // A start byte whose frame never completed, and what followed it: noise.
    void Quiet(std::vector<Segment>* out);
    bool Pending() const { return cutter_.Held() > 0; }

private:
    void Give(std::vector<ReplyCutter::Piece>& pieces, std::vector<Segment>* out);

    ReplyCutter cutter_;
};

}  // namespace zolhost
