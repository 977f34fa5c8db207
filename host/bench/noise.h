// Line noise for the benchmark: stray bytes and malformed requests put between
// good requests, from a seeded generator so a run can be repeated.
#pragma once

#include <cstdint>
#include <vector>

#include "host/base/rng.h"

namespace zolhost {

enum class NoiseKind {
    Garbage,           // 1-8 random bytes without a start byte
    GarbageWithStart,  // 1-6 random bytes with a 0x02 among them
    BadEnd,            // a request whose end byte is not 0x03
    BadChecksum,       // a request whose checksum is off
};
inline constexpr int kNoiseKinds = 4;

std::vector<std::uint8_t> MakeNoise(Rng& rng, NoiseKind kind);

// With probability pct percent, one noise item of a random kind; else nothing.
std::vector<std::uint8_t> NoiseBefore(Rng& rng, double pct);

}  // namespace zolhost
