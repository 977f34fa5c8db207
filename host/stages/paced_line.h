// One direction of the link as a serial line: bytes queue with the time they are
// due at the far end (when their last bit is through at the line's rate, and no
// sooner than they are released) and leave in the order they came. A byte held
// back holds back every byte behind it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "host/base/clock.h"

namespace zolhost {

// The rates a line is paced at, wherever they are given (a command line, a
// capture's header): 0 (not paced) or 50 to 4000000 baud.
inline constexpr char kPaceBaudNeeds[] = "a baud rate (50-4000000, or 0: no pacing)";
bool ParsePaceBaud(const std::string& s, std::uint32_t* baud);

class PacedLine {
public:
    // baud 0: no pacing, every byte due once released.
    explicit PacedLine(std::uint32_t baud) : pace_(baud) {}

    void Queue(const std::uint8_t* p, std::size_t n, Clock::time_point release);
    // Copies the bytes due by `now` from the front into buf, at most max: how many.
    std::size_t Due(Clock::time_point now, std::uint8_t* buf, std::size_t max) const;
    // Takes n bytes off the front (delivered, or lost at a closed end).
    void Pop(std::size_t n);
    // When the front byte is due; nothing when the line is empty.
    std::optional<Clock::time_point> NextDue() const;
    std::size_t Size() const { return queue_.size(); }
    // When the last byte queued is through.
    Clock::time_point Free() const { return pace_.Free(); }
    // The rate of the bytes queued from now on (0: not paced); those queued keep their times.
    void SetPace(std::uint32_t baud) { pace_.SetBaud(baud); }
    // Drops every byte queued (a purge): how many.
    std::size_t Purge(Clock::time_point now);

private:
    struct Byte {
        std::uint8_t value;
        Clock::time_point due;
    };
    std::deque<Byte> queue_;
    LinePace pace_;
};

}  // namespace zolhost
