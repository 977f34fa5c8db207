#include "host/hunt_model.h"

#include "emulator/frames.h"

namespace zolhost {

void HuntModel::Feed(const std::uint8_t* p, std::size_t n, std::vector<HuntEvent>* events) {
    queue_.insert(queue_.end(), p, p + n);
    while (queue_.size() - head_ >= kRequestSize) {
        const std::uint8_t first = queue_[head_];
        if (first != kRequestStart) {
            ++head_;
            ++consumed_;
            ++dropped_;
            continue;
        }
        const std::uint8_t* f = &queue_[head_];
        HuntEvent ev{HuntEvent::Kind::Good, f[1], consumed_};
        if (f[kRequestSize - 2] != kRequestEnd) {
            // Start byte, four data bytes and the wrong end byte are gone.
            ev.kind = HuntEvent::Kind::BadEnd;
            head_ += kRequestSize - 1;
            consumed_ += kRequestSize - 1;
        } else {
            if (f[kRequestSize - 1] != FrameChecksum(f, kRequestSize - 1)) {
                ev.kind = HuntEvent::Kind::BadChecksum;
            }
            head_ += kRequestSize;
            consumed_ += kRequestSize;
        }
        events->push_back(ev);
    }
    if (head_ > 4096 && head_ * 2 > queue_.size()) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

}  // namespace zolhost
