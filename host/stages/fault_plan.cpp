#include "host/stages/fault_plan.h"

#include <cstdio>
#include <sstream>
#include <iterator>

#include "host/base/rng.h"
#include "protocol/frame_rules.h"

namespace zolhost {

std::string FaultSettingsText(const FaultSettings& f) {
    char b[128];
    std::snprintf(b, sizeof b, "drop=%g corrupt=%g delay=%d-%d split=%d", f.dropPct, f.corruptPct, f.delayMinMs,
                  f.delayMaxMs, f.splitGapMs);
    return b;
}

std::string FaultChangeTag(const FaultChangeAt& c) {
    return "zol-faults from=" + std::to_string(c.fromReply) + " " + FaultSettingsText(c.faults);
}

bool ParseFaultChangeTag(const std::string& tag, FaultChangeAt* c) {
    unsigned long long from = 0;
    FaultSettings f;
    int used = 0;
    if (std::sscanf(tag.c_str(), "zol-faults from=%llu drop=%lg corrupt=%lg delay=%d-%d split=%d%n", &from, &f.dropPct,
                    &f.corruptPct, &f.delayMinMs, &f.delayMaxMs, &f.splitGapMs, &used) != 6 ||
        static_cast<std::size_t>(used) != tag.size() || !(f.dropPct >= 0 && f.dropPct <= 100) ||
        !(f.corruptPct >= 0 && f.corruptPct <= 100) || f.delayMinMs < 0 || f.delayMaxMs < f.delayMinMs ||
        f.splitGapMs < -1) {
        return false;
    }
    c->fromReply = from;
    c->faults = f;
    return true;
}

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

namespace {

constexpr char kReplyTag[] = "zol-reply";

}  // namespace

std::string ReplyTag(std::uint64_t index, const ReplyFaults& f) {
    std::string tag = std::string(kReplyTag) + " " + std::to_string(index);
    char b[32];
    if (f.drop) {
        return tag + " drop";
    }
    if (f.Corrupted()) {
        std::snprintf(b, sizeof b, " corrupt=%d:%02X", f.corruptAt, f.corruptXor);
        tag += b;
    }
    if (f.delayMs > 0) {
        tag += " delay=" + std::to_string(f.delayMs);
    }
    if (f.splitAt > 0) {
        tag += " split=" + std::to_string(f.splitAt);
    }
    return tag;
}

bool ParseReplyTag(const std::string& tag, std::uint64_t* index, ReplyFaults* f) {
    std::istringstream in(tag);
    std::string word;
    if (!(in >> word) || word != kReplyTag || !(in >> *index)) {
        return false;
    }
    *f = ReplyFaults{};
    while (in >> word) {
        unsigned a = 0;
        unsigned b = 0;
        if (word == "drop") {
            f->drop = true;
        } else if (std::sscanf(word.c_str(), "corrupt=%u:%x", &a, &b) == 2 && a < kReplySize && b <= 0xFF) {
            f->corruptAt = static_cast<int>(a);
            f->corruptXor = static_cast<std::uint8_t>(b);
        } else if (std::sscanf(word.c_str(), "delay=%u", &a) == 1) {
            f->delayMs = static_cast<int>(a);
        } else if (std::sscanf(word.c_str(), "split=%u", &a) == 1 && a < kReplySize) {
            f->splitAt = static_cast<int>(a);
        } else {
            return false;
        }
    }
    return true;
}

FaultedReply ApplyFaults(const ReplyFaults& f, const std::vector<std::uint8_t>& reply, int splitGapMs) {
    FaultedReply out;
    out.bytes = reply;
    auto also = [&out](const char* format, auto... args) {
        char text[80];
        std::snprintf(text, sizeof text, format, args...);
        out.did += (out.did.empty() ? "" : ", ") + std::string(text);
    };
    if (f.Corrupted() && static_cast<std::size_t>(f.corruptAt) < reply.size()) {
        ApplyCorruption(f, out.bytes.data());
        also("corrupted (offset %d: %02X -> %02X)", f.corruptAt, reply[f.corruptAt], out.bytes[f.corruptAt]);
    }
    if (f.delayMs > 0) {
        out.delayMs = f.delayMs;
        also("delayed %d ms", f.delayMs);
    }
    if (f.splitAt > 0 && static_cast<std::size_t>(f.splitAt) < reply.size()) {
        out.splitAt = static_cast<std::size_t>(f.splitAt);
        also("split %d+%d, %d ms apart", f.splitAt, static_cast<int>(reply.size() - out.splitAt), splitGapMs);
    }
    return out;
}

}  // namespace zolhost
