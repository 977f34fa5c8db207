// The device's receiving rule, stated once: the device's ReceiveRequest runs it on
// its port, and the receiver model below runs it on bytes in memory, so that
// zolhost and the tests can tell which frames of a stream the device answers.
//
// One receive:
//  - looks at the input only while at least 7 bytes wait; the count is asked again
//    before every byte of the hunt, so the hunt ends with fewer than 7 bytes left;
//  - drops bytes until a 0x02, then takes the six bytes after it (already waiting)
//    as data 1-4, end byte and checksum; a 0x02 among them is data;
//  - a wrong end byte ends the frame there: the byte after it is the first
//    candidate of the next hunt;
//  - a wrong checksum ends the frame with all seven bytes taken.
// Because a frame is never started before all of it has arrived, what the receiver
// makes of a stream does not depend on how the bytes were spread over time: only
// bytes near the end that it has not looked at yet are still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/frame_rules.h"

// Results of one receive.
inline constexpr int kRequestOk = 0;
inline constexpr int kRequestIncomplete = -1;  // no complete frame waits (or a read failed)
inline constexpr int kRequestBadEnd = -3;
inline constexpr int kRequestBadChecksum = -4;

// One receive from `in`, which offers Waiting() (bytes waiting, a signed 32-bit
// count) and Take() (the next byte 0-255, or -1 when it could not be read).
// *d1 is stored as soon as data byte 1 is taken. A failed Take() ends the receive
// with kRequestIncomplete and nothing made up. Never waits for more input.
template <class Input>
int ReceiveFrom(Input& in, std::uint8_t* d1) {
    for (;;) {
        if (in.Waiting() < static_cast<std::int32_t>(kRequestSize)) {
            return kRequestIncomplete;
        }
        const int byte = in.Take();
        if (byte < 0) {
            return kRequestIncomplete;
        }
        if (byte == kRequestStart) {
            break;
        }
    }
    std::uint8_t sum = kRequestStart;
    for (std::size_t i = 0; i < kRequestDataSize; ++i) {
        const int byte = in.Take();
        if (byte < 0) {
            return kRequestIncomplete;
        }
        if (i == 0) {
            *d1 = static_cast<std::uint8_t>(byte);
        }
        sum = static_cast<std::uint8_t>(sum + byte);
    }
    const int end = in.Take();
    if (end < 0) {
        return kRequestIncomplete;
    }
    if (end != kRequestEnd) {
        return kRequestBadEnd;
    }
    sum = static_cast<std::uint8_t>(sum + kRequestEnd);
    const int checksum = in.Take();
    if (checksum < 0) {
        return kRequestIncomplete;
    }
    return checksum == ChecksumAfter(sum) ? kRequestOk : kRequestBadChecksum;
}

// What one receive does to the bytes p[0..n) waiting in order.
struct ReceiveStep {
    int result;         // as ReceiveFrom
    std::size_t taken;  // bytes taken from the front
    std::size_t start;  // offset of the frame's start byte (result other than kRequestIncomplete)
    std::uint8_t d1;    // data byte 1 of that frame
};
ReceiveStep ReceiveOnBytes(const std::uint8_t* p, std::size_t n);

// A frame the receiver took from a stream.
struct ReceivedFrame {
    int result;          // kRequestOk (answered: EA = ReplyEa(d1)), kRequestBadEnd or kRequestBadChecksum
    std::uint8_t d1;     // data byte 1 of the frame
    std::uint64_t start; // stream offset of the frame's start byte
    std::uint64_t end;   // stream offset just past its last byte (a wrong end byte ends it early)
};

// The receiver on a stream fed in pieces, as the device sees it when it receives
// whenever bytes have arrived.
class ReceiverModel {
public:
    // The next bytes of the stream, in order. Appends to `frames` every frame the
    // receiver takes from what is waiting now.
    void Feed(const std::uint8_t* p, std::size_t n, std::vector<ReceivedFrame>* frames);

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
