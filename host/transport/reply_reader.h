// Replies as they arrive on a channel, cut by the frame rules' ReplyCutter. Used
// by ping, drive and the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "host/transport/channel.h"
#include "protocol/frame_rules.h"
#include "protocol/reply_cutter.h"

namespace zolhost {

class ReplyReader {
public:
    explicit ReplyReader(Channel& link) : link_(link) {}
    // The next reply, waiting until the deadline for it: Done, or what the
    // channel's Receive gave. Bytes before it that are no reply count as noise.
    Io Next(ReplyFrame* reply, Clock::time_point deadline);
    // Bytes of noise met since the last call.
    std::size_t TakeNoise();
    // Drops what has arrived, buffered or not; returns how many bytes.
    std::size_t DiscardPending();
    // Waits up to quietMs for bytes that nobody asked for; returns how many came.
    std::size_t Unasked(int quietMs);
    // Bytes arrived and not given out: the start of a reply, maybe, or more.
    std::size_t Buffered() const;

private:
    void Cut(const std::vector<std::uint8_t>& bytes);

    Channel& link_;
    ReplyCutter cutter_;
    std::deque<ReplyCutter::Piece> pieces_;
    std::size_t noise_ = 0;
};

}  // namespace zolhost
