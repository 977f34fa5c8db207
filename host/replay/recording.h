// A link's capture read back as a recording of a session: what the host program
// sent and what the device sent, in order, with their times, and the link the
// session went through (its pace, faults and seed, from the capture's header).
// The device's bytes are as the device sent them: a reply a fault corrupted on
// the way is put back as it was, a dropped one is still owed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/link/relay.h"

namespace zolhost {

// Where a recording keeps its packets' bytes: one store, filled once as the capture
// is read, in chunks that never move (a packet's span stays valid while more is
// added, and when the recording is moved).
class PacketStore {
public:
    // n bytes of room, kept as long as the store.
    std::uint8_t* Take(std::size_t n);

private:
    static constexpr std::size_t kChunk = std::size_t{1} << 20;
    std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
    std::size_t used_ = 0;  // of the last chunk
    std::size_t room_ = 0;  // left in it
};

// One packet of a recording: a few words each, its bytes in the recording's store
// (a big capture is held about once, not once per packet's containers).
struct Recorded {
    std::span<const std::uint8_t> bytes;  // as the sender sent them
    std::int64_t atUs = 0;                // since the first packet
    std::uint32_t frame = 0;              // the packet's number in the capture, from 1 (as Wireshark counts)
    std::uint16_t commentSize = 0;        // of Comment(), which the store keeps just after the bytes
    bool toDevice = true;
    // What the link did to it, as the capture says; empty when it did nothing.
    std::string_view Comment() const {
        return {reinterpret_cast<const char*>(bytes.data() + bytes.size()), commentSize};
    }
};

struct Recording {
    RelayConfig relay;
    std::string description;      // the capture's own words on the link
    std::vector<Recorded> items;  // packets with bytes, in order
    PacketStore store;            // their bytes and comments
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
// after it before the host's next one.
struct Exchange {
    const Recorded* request = nullptr;  // null for what the device sent before the host sent anything
    std::span<const Recorded> answers;  // the recording's packets right after the request
    // How long after the request (or the start) the device sent `answer`.
    std::int64_t AfterUs(const Recorded& answer) const { return answer.atUs - (request ? request->atUs : 0); }
    std::size_t AnswerBytes() const;
};
// The exchanges of r, pointing into its items. asTheDeviceHeard: the host's packets
// a frozen device took are no exchanges of their own (they never reached it); they
// stay among the answers of the exchange before, which go on past them: skip them
// there (toDevice).
std::vector<Exchange> Exchanges(const Recording& r, bool asTheDeviceHeard = false);

}  // namespace zolhost
