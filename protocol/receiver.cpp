#include "protocol/receiver.h"

#include <algorithm>
#include <limits>

namespace {

// Bytes in memory as the receiver's input; reads never fail.
struct MemoryInput {
    const std::uint8_t* p;
    std::size_t n;
    std::size_t pos = 0;

    std::int32_t Waiting() const {
        return static_cast<std::int32_t>(std::min<std::size_t>(n - pos, std::numeric_limits<std::int32_t>::max()));
    }
    int Take() { return pos < n ? p[pos++] : -1; }
};

}  // namespace

ReceiveStep ReceiveOnBytes(const std::uint8_t* p, std::size_t n) {
    MemoryInput in{p, n};
    ReceiveStep step{kRequestIncomplete, 0, 0, 0};
    step.result = ReceiveFrom(in, &step.d1);
    step.taken = in.pos;
    if (step.result != kRequestIncomplete) {
        step.start = std::find(p, p + n, kRequestStart) - p;
    }
    return step;
}

void ReceiverModel::Feed(const std::uint8_t* p, std::size_t n, std::vector<ReceivedFrame>* frames) {
    queue_.insert(queue_.end(), p, p + n);
    for (;;) {
        const ReceiveStep step = ReceiveOnBytes(queue_.data() + head_, queue_.size() - head_);
        head_ += step.taken;
        if (step.result == kRequestIncomplete) {
            consumed_ += step.taken;
            dropped_ += step.taken;
            break;
        }
        dropped_ += step.start;
        frames->push_back({step.result, step.d1, consumed_ + step.start, consumed_ + step.taken});
        consumed_ += step.taken;
    }
    if (head_ > 4096 && head_ * 2 > queue_.size()) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}
