#include "host/link/fault_plan.h"

#include <iterator>

#include "host/bench/noise.h"
#include "protocol/frame_rules.h"

namespace zolhost {

namespace {

// splitmix64: a generator of its own for every reply, from the seed and its number.
std::uint64_t Mix(std::uint64_t seed, std::uint64_t index) {
    std::uint64_t z = seed + (index + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Offsets a corruption may change: the data bytes and the checksum. Start and end
// bytes stay, so the host still sees a reply, one whose checksum does not match.
constexpr int kCorruptible[] = {1, 2, 3, 4, 5, 6, static_cast<int>(kReplySize) - 1};

}  // namespace

ReplyFaults FaultPlan::For(std::uint64_t index) const {
    Rng rng(Mix(seed_, index));
    // Every draw is made whatever the settings, so one fault's choice does not
    // depend on which others are asked for.
    const double roll = rng.Below(1000000) / 10000.0;  // [0, 100)
    const int at = kCorruptible[rng.Below(static_cast<std::uint32_t>(std::size(kCorruptible)))];
    const auto bit = static_cast<std::uint8_t>(1u << rng.Below(8));
    const int delay = s_.delayMinMs + static_cast<int>(rng.Below(static_cast<std::uint32_t>(s_.delayMaxMs - s_.delayMinMs + 1)));
    const int splitAt = 1 + static_cast<int>(rng.Below(static_cast<std::uint32_t>(kReplySize - 1)));

    ReplyFaults f;
    // Drops and corruptions share one roll: PCT% of all replies each, never both.
    if (roll < s_.dropPct) {
        f.drop = true;
        return f;
    }
    if (roll < s_.dropPct + s_.corruptPct) {
        f.corruptAt = at;
        f.corruptXor = bit;
    }
    f.delayMs = delay;
    f.splitAt = s_.splitGapMs >= 0 ? splitAt : 0;
    return f;
}

void ApplyCorruption(const ReplyFaults& f, std::uint8_t* reply) {
    if (f.Corrupted()) {
        reply[f.corruptAt] ^= f.corruptXor;
    }
}

}  // namespace zolhost
