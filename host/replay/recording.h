// A link's capture read back as a recording of a session: what the host program
// sent and what the device sent, in order, with their times, and the link the
// session went through (its pace, faults and seed, from the capture's header).
// The device's bytes are as the device sent them: a reply a fault corrupted on
// the way is put back as it was, a dropped one is still owed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "host/link/relay.h"

namespace zolhost {

struct Recorded {
    std::size_t frame = 0;       // the packet's number in the capture, from 1 (as Wireshark counts)
    std::int64_t atUs = 0;       // since the first packet
    bool toDevice = true;
    std::vector<std::uint8_t> bytes;  // as the sender sent them
    std::string comment;         // what the link did, as the capture says
};

struct Recording {
    RelayConfig relay;
    std::string description;      // the capture's own words on the link
    std::deque<Recorded> items;  // packets with bytes, in order (grown without moving: no copy at twice the size)
};

// The most of a capture that replay reads: reading stops there, and a larger file
// is refused.
inline constexpr std::uint64_t kMaxCaptureBytes = std::uint64_t{1} << 30;

// Reads a capture that `zolhost link --pcap` wrote, a block at a time. false with
// *error saying why it cannot be replayed and where (the byte of the block, the
// frame): not a capture, one from a zolhost before replay, damaged, cut short,
// with no packets, or over kMaxCaptureBytes.
bool ReadRecording(const std::string& path, Recording* out, std::string* error);
// The same from an open file (read from where it stands); `path` names it in *error.
bool ReadRecordingFrom(std::FILE* file, const std::string& path, Recording* out, std::string* error);

// One exchange of a recording: a packet the host sent, and what the device sent
// after it before the host's next one (with how long after).
struct Exchange {
    const Recorded* request = nullptr;  // null for what the device sent before the host sent anything
    struct Answer {
        const Recorded* packet;
        std::int64_t afterUs;  // after the request (or the start)
    };
    std::vector<Answer> answers;
    std::size_t AnswerBytes() const;
};
// asTheDeviceHeard: the host's packets a frozen device took are no exchanges of
// their own (they never reached it); what it sent after them goes with the one before.
std::vector<Exchange> Exchanges(const Recording& r, bool asTheDeviceHeard = false);

}  // namespace zolhost
