#include "host/bench/noise.h"

#include "protocol/frame_rules.h"

namespace zolhost {

namespace {

std::uint8_t ByteOtherThan(Rng& rng, std::uint8_t avoid) {
    std::uint8_t b;
    do {
        b = static_cast<std::uint8_t>(rng.Below(256));
    } while (b == avoid);
    return b;
}

}  // namespace

std::vector<std::uint8_t> MakeNoise(Rng& rng, NoiseKind kind) {
    std::vector<std::uint8_t> out;
    switch (kind) {
    case NoiseKind::Garbage: {
        const std::uint32_t n = 1 + rng.Below(8);
        for (std::uint32_t i = 0; i < n; ++i) {
            out.push_back(ByteOtherThan(rng, kRequestStart));
        }
        break;
    }
    case NoiseKind::GarbageWithStart: {
        const std::uint32_t n = 1 + rng.Below(6);
        for (std::uint32_t i = 0; i < n; ++i) {
            out.push_back(static_cast<std::uint8_t>(rng.Below(256)));
        }
        out[rng.Below(n)] = kRequestStart;
        break;
    }
    case NoiseKind::BadEnd: {
        const RequestFrame f = MakeRequest(static_cast<std::uint8_t>(rng.Below(256)),
                                           static_cast<std::uint8_t>(rng.Below(256)), 0, 0);
        out.assign(f.begin(), f.end());
        out[kRequestSize - 2] = ByteOtherThan(rng, kRequestEnd);
        break;
    }
    case NoiseKind::BadChecksum: {
        const RequestFrame f = MakeRequest(static_cast<std::uint8_t>(rng.Below(256)),
                                           static_cast<std::uint8_t>(rng.Below(256)), 0, 0);
        out.assign(f.begin(), f.end());
        out[kRequestSize - 1] = static_cast<std::uint8_t>(out[kRequestSize - 1] + 1 + rng.Below(255));
        break;
    }
    }
    return out;
}

std::vector<std::uint8_t> NoiseBefore(Rng& rng, double pct) {
    if (pct <= 0 || static_cast<double>(rng.Below(1000000)) >= pct * 10000.0) {
        return {};
    }
    return MakeNoise(rng, static_cast<NoiseKind>(rng.Below(kNoiseKinds)));
}

}  // namespace zolhost
