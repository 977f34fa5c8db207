// Time as zolhost keeps it: a monotonic clock, the time since the program
// started (traces and timestamps), and a byte's time on a serial line.
#pragma once

#include <chrono>
#include <cstdint>

namespace zolhost {

using Clock = std::chrono::steady_clock;

// Seconds since the program started.
double Elapsed();
// The moment the program started, as traces count from it.
Clock::time_point ProgramStart();

// How long a line at `baud` takes for one byte: a start bit, eight data bits and
// a stop bit. Zero for a baud of 0 (no pacing).
inline Clock::duration ByteTime(std::uint32_t baud) {
    return baud == 0 ? Clock::duration::zero()
                     : std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
}

// A serial line's timing: each byte takes ByteTime(baud) and follows the one
// before it; a byte is due at the far end once its last bit is through. Unpaced
// (baud 0), every byte is due as soon as it is released.
class LinePace {
public:
    explicit LinePace(std::uint32_t baud = 0) : byteTime_(ByteTime(baud)) {}
    bool Paced() const { return byteTime_ > Clock::duration::zero(); }
    // When the next byte is through, when it may start no sooner than `release`.
    Clock::time_point Next(Clock::time_point release) {
        free_ = (free_ > release ? free_ : release) + byteTime_;
        return free_;
    }
    // When the last byte given a time is through.
    Clock::time_point Free() const { return free_; }
    // A new rate for the bytes given a time from now on; those given one keep it.
    void SetBaud(std::uint32_t baud) { byteTime_ = ByteTime(baud); }
    // Forgets the bytes given a time (a purge): the line is free from `now`.
    void Reset(Clock::time_point now) { free_ = now; }

private:
    Clock::duration byteTime_;
    Clock::time_point free_{};
};

// Waits until t, sleeping while far from it and spinning the last stretch, since
// a byte time at high rates is shorter than the system's sleep granularity.
void WaitUntil(Clock::time_point t);

}  // namespace zolhost
