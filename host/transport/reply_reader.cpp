#include "host/transport/reply_reader.h"

#include <algorithm>

namespace zolhost {

Io ReplyReader::Next(ReplyFrame* reply, Clock::time_point deadline) {
    while (Buffered() < kReplySize) {
        const Io r = link_.Receive(&buf_, deadline);
        if (r != Io::Done) {
            return r;
        }
    }
    std::copy_n(buf_.begin() + static_cast<std::ptrdiff_t>(head_), kReplySize, reply->begin());
    head_ += kReplySize;
    if (head_ == buf_.size()) {
        buf_.clear();
        head_ = 0;
    }
    return Io::Done;
}

std::size_t ReplyReader::DiscardPending() {
    link_.Drain(&buf_);
    const std::size_t n = Buffered();
    buf_.clear();
    head_ = 0;
    return n;
}

std::size_t ReplyReader::Unasked(int quietMs) {
    const std::size_t before = Buffered();
    auto deadline = Clock::now() + std::chrono::milliseconds(quietMs);
    while (link_.Receive(&buf_, deadline) == Io::Done) {
        deadline = Clock::now() + std::chrono::milliseconds(quietMs);
    }
    return Buffered() - before;
}

}  // namespace zolhost
