#include "host/stages/paced_line.h"

#include "host/base/text.h"

namespace zolhost {

bool ParsePaceBaud(const std::string& s, std::uint32_t* baud) {
    std::uint64_t v = 0;
    if (s != "0" && !ParseUnsigned(s, 50, 4000000, &v)) {
        return false;
    }
    *baud = static_cast<std::uint32_t>(v);
    return true;
}

void PacedLine::Queue(const std::uint8_t* p, std::size_t n, Clock::time_point release) {
    for (std::size_t i = 0; i < n; ++i) {
        queue_.push_back({p[i], pace_.Next(release)});
    }
}

std::size_t PacedLine::Due(Clock::time_point now, std::uint8_t* buf, std::size_t max) const {
    std::size_t n = 0;
    while (n < queue_.size() && n < max && queue_[n].due <= now) {
        buf[n] = queue_[n].value;
        ++n;
    }
    return n;
}

void PacedLine::Pop(std::size_t n) {
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
}

std::optional<Clock::time_point> PacedLine::NextDue() const {
    if (queue_.empty()) {
        return std::nullopt;
    }
    return queue_.front().due;
}

std::size_t PacedLine::Purge(Clock::time_point now) {
    const std::size_t n = queue_.size();
    queue_.clear();
    pace_.Reset(now);
    return n;
}

}  // namespace zolhost
