// Random numbers from a seed (xorshift64*), so that a run with the same seed
// meets the same noise and the same faults.
#pragma once

#include <cstdint>

namespace zolhost {

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed != 0 ? seed : 0x9E3779B97F4A7C15ull) {}
    std::uint64_t Next() {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return state_ * 0x2545F4914F6CDD1Dull;
    }
    // Uniform in [0, n); n > 0.
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>((Next() >> 32) % n); }

private:
    std::uint64_t state_;
};

}  // namespace zolhost
