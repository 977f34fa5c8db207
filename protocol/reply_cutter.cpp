#include "protocol/reply_cutter.h"

#include "protocol/frame_rules.h"

void ReplyCutter::Feed(const std::uint8_t* p, std::size_t n, std::vector<Piece>* out) {
    held_.insert(held_.end(), p, p + n);
    std::size_t noise = 0;  // start of the noise not given out yet
    std::size_t i = 0;
    auto bytes = [this](std::size_t from, std::size_t to) {
        return std::vector<std::uint8_t>(held_.begin() + static_cast<std::ptrdiff_t>(from),
                                         held_.begin() + static_cast<std::ptrdiff_t>(to));
    };
    while (i < held_.size()) {
        if (held_[i] != kReplyStart) {
            ++i;
            continue;
        }
        if (held_.size() - i < kReplySize) {
            break;  // maybe the start of a reply: held for the rest
        }
        if (held_[i + kReplyEndAt] != kReplyEnd) {
            ++i;  // no end byte where a reply has it: the 0x12 was noise
            continue;
        }
        if (i > noise) {
            out->push_back({false, bytes(noise, i)});
        }
        out->push_back({true, bytes(i, i + kReplySize)});
        i += kReplySize;
        noise = i;
    }
    if (i > noise) {
        out->push_back({false, bytes(noise, i)});
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(i));
}

void ReplyCutter::Quiet(std::vector<Piece>* out) {
    if (!held_.empty()) {
        out->push_back({false, held_});
        held_.clear();
    }
}
