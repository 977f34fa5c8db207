// The device's request receiver, modelled from its rules so the host can tell
// which frames of a stream it must answer:
//  - it looks at its input only while at least 7 bytes are waiting;
//  - it drops bytes until a 0x02, then takes the six bytes after it (already
//    waiting) as data 1-4, end byte and checksum; a 0x02 among them is data;
//  - a wrong end byte ends the frame there: the byte after it is the first
//    candidate of the next hunt;
//  - a wrong checksum ends the frame with all seven bytes consumed.
// Because the receiver never starts a frame before all of it has arrived, what it
// makes of a stream does not depend on how the bytes were spread over time: only
// bytes near the end that it has not looked at yet are still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zolhost {

struct HuntEvent {
    enum class Kind {
        Good,         // answered: reply EA = d1 xor FF
        BadEnd,       // dropped: end byte not 0x03
        BadChecksum,  // dropped: checksum did not match
    };
    Kind kind;
    std::uint8_t d1;     // data byte 1 of the frame
    std::uint64_t start; // stream offset of the frame's start byte
};

class HuntModel {
public:
    // The next bytes of the stream, in order. Appends to `events` every frame the
    // receiver takes from what is waiting now.
    void Feed(const std::uint8_t* p, std::size_t n, std::vector<HuntEvent>* events);

    // Bytes the receiver leaves waiting (always fewer than 7).
    std::size_t Waiting() const { return queue_.size() - head_; }
    // Bytes dropped while hunting for a start byte.
    std::uint64_t Dropped() const { return dropped_; }
    // Stream offset of the next byte the receiver will look at.
    std::uint64_t Position() const { return consumed_; }

private:
    std::vector<std::uint8_t> queue_;
    std::size_t head_ = 0;
    std::uint64_t consumed_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace zolhost
