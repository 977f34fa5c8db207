// Replies as they arrive on a host link: the byte stream cut into 9-byte frames.
// Used by ping, drive and the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/transport/channel.h"
#include "protocol/frame_rules.h"

namespace zolhost {

class ReplyReader {
public:
    explicit ReplyReader(Channel& link) : link_(link) {}
    // The next 9 bytes, waiting until the deadline for them.
    Io Next(ReplyFrame* reply, Clock::time_point deadline);
    // Drops what has arrived, buffered or not; returns how many bytes.
    std::size_t DiscardPending();
    // Waits up to quietMs for bytes that nobody asked for; returns how many came.
    std::size_t Unasked(int quietMs);
    std::size_t Buffered() const { return buf_.size() - head_; }

private:
    Channel& link_;
    std::vector<std::uint8_t> buf_;
    std::size_t head_ = 0;
};

}  // namespace zolhost
