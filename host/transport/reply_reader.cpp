#include "host/transport/reply_reader.h"

#include <algorithm>
#include <utility>

namespace zolhost {

void ReplyReader::Cut(const std::vector<std::uint8_t>& bytes) {
    std::vector<ReplyCutter::Piece> pieces;
    cutter_.Feed(bytes.data(), bytes.size(), &pieces);
    for (ReplyCutter::Piece& piece : pieces) {
        pieces_.push_back(std::move(piece));
    }
}

Io ReplyReader::Next(ReplyFrame* reply, Clock::time_point deadline) {
    for (;;) {
        while (!pieces_.empty()) {
            ReplyCutter::Piece piece = std::move(pieces_.front());
            pieces_.pop_front();
            if (piece.reply) {
                std::copy_n(piece.bytes.begin(), kReplySize, reply->begin());
                return Io::Done;
            }
            noise_ += piece.bytes.size();
        }
        std::vector<std::uint8_t> bytes;
        // Woken once the rest of a reply can be there, not for each of its bytes.
        link_.WakeFor(kReplySize - std::min(cutter_.Held(), kReplySize - 1));
        const Io r = link_.Receive(&bytes, deadline);
        link_.WakeFor(1);
        if (r != Io::Done) {
            return r;
        }
        Cut(bytes);
    }
}

std::size_t ReplyReader::TakeNoise() {
    return std::exchange(noise_, 0);
}

std::size_t ReplyReader::Buffered() const {
    std::size_t n = cutter_.Held();
    for (const ReplyCutter::Piece& piece : pieces_) {
        n += piece.bytes.size();
    }
    return n;
}

std::size_t ReplyReader::DiscardPending() {
    std::vector<std::uint8_t> bytes;
    link_.Drain(&bytes);
    const std::size_t n = Buffered() + bytes.size();
    pieces_.clear();
    cutter_.Clear();
    noise_ = 0;
    return n;
}

std::size_t ReplyReader::Unasked(int quietMs) {
    std::size_t came = 0;
    std::vector<std::uint8_t> bytes;
    auto deadline = Clock::now() + std::chrono::milliseconds(quietMs);
    while (link_.Receive(&bytes, deadline) == Io::Done) {
        came += bytes.size();
        Cut(bytes);
        bytes.clear();
        deadline = Clock::now() + std::chrono::milliseconds(quietMs);
    }
    return came;
}

}  // namespace zolhost
