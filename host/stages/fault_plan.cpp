#include "host/stages/fault_plan.h"

#include <cstdio>
#include <sstream>
#include <iterator>

#include "host/base/rng.h"
#include "host/base/text.h"
#include "host/stages/paced_line.h"
#include "protocol/frame_rules.h"

namespace zolhost {

std::string FaultSettingsText(const FaultSettings& f) {
    char b[128];
    std::snprintf(b, sizeof b, "drop=%.17g corrupt=%.17g delay=%d-%d split=%d", f.dropPct, f.corruptPct, f.delayMinMs,
                  f.delayMaxMs, f.splitGapMs);
    return b;
}

std::string FaultChangeTag(const FaultChangeAt& c) {
    return std::string(kFaultChangeWord) + " from=" + std::to_string(c.fromReply) +
           (c.paceBaud ? " pace=" + std::to_string(*c.paceBaud) : std::string()) + " " + FaultSettingsText(c.faults);
}

bool ParseFaultChangeTag(const std::string& tag, FaultChangeAt* c, std::string* why) {
    const std::string head = std::string(kFaultChangeWord) + " from=";
    const std::size_t at = head.size();
    const std::size_t end = tag.find(' ', at);
    FaultChangeAt r;
    if (tag.rfind(head, 0) != 0 || end == std::string::npos ||
        !ParseUnsigned(tag.substr(at, end - at), 0, UINT64_MAX, &r.fromReply)) {
        return false;
    }
    std::string rest = tag.substr(end);
    if (rest.rfind(" pace=", 0) == 0) {
        const std::size_t paceEnd = rest.find(' ', 1);
        std::uint32_t baud = 0;
        if (paceEnd == std::string::npos || !ParsePaceBaud(rest.substr(6, paceEnd - 6), &baud)) {
            return false;
        }
        r.paceBaud = baud;
        rest.erase(0, paceEnd);
    }
    FaultSettings& f = r.faults;
    int used = 0;
    if (std::sscanf(rest.c_str(), " drop=%lg corrupt=%lg delay=%d-%d split=%d%n", &f.dropPct, &f.corruptPct,
                    &f.delayMinMs, &f.delayMaxMs, &f.splitGapMs, &used) != 5 ||
        static_cast<std::size_t>(used) != rest.size()) {
        return false;
    }
    if (std::string fault = FaultSettingsFault(f, kTagNames); !fault.empty()) {
        if (why != nullptr) {
            *why = fault;
        }
        return false;
    }
    *c = r;
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

bool ParseDelay(const std::string& s, FaultSettings* f) {
    const std::size_t dash = s.find('-');
    std::uint64_t lo = 0;
    std::uint64_t hi = 0;
    if (dash == std::string::npos) {
        if (!ParseUnsigned(s, 0, kMaxFaultMs, &lo)) return false;
        hi = lo;
    } else if (!ParseUnsigned(s.substr(0, dash), 0, kMaxFaultMs, &lo) ||
               !ParseUnsigned(s.substr(dash + 1), lo, kMaxFaultMs, &hi)) {
        return false;
    }
    f->delayMinMs = static_cast<int>(lo);
    f->delayMaxMs = static_cast<int>(hi);
    return true;
}

std::string FaultSettingsFault(const FaultSettings& f, const FaultNames& names) {
    auto percent = [](double p) { return p >= 0 && p <= 100; };  // false for NaN too
    const std::string drop = names.drop;
    const std::string corrupt = names.corrupt;
    if (!percent(f.dropPct) || !percent(f.corruptPct)) {
        return (percent(f.dropPct) ? corrupt : drop) + " needs " + kPercentNeeds;
    }
    if (f.dropPct + f.corruptPct > 100) {
        return drop + " and " + corrupt + " " + kSharedNeeds;
    }
    if (f.delayMinMs < 0 || f.delayMinMs > f.delayMaxMs || f.delayMaxMs > kMaxFaultMs) {
        return std::string(names.delay) + " needs " + kDelayNeeds;
    }
    if (f.splitGapMs < -1 || f.splitGapMs > kMaxFaultMs) {
        return std::string(names.split) + " needs " + kFaultMsNeeds;
    }
    return {};
}

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
    if (!(in >> word) || word != kReplyTag || !(in >> word) || !ParseUnsigned(word, 0, UINT64_MAX, index)) {
        return false;
    }
    *f = ReplyFaults{};
    while (in >> word) {
        const std::size_t eq = word.find('=');
        const std::string key = word.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        const std::size_t colon = value.find(':');
        std::uint64_t a = 0;
        if (word == "drop") {
            f->drop = true;
        } else if (key == "corrupt" && colon != std::string::npos &&
                   ParseUnsigned(value.substr(0, colon), 0, kReplySize - 1, &a) &&
                   ParseHexByte(value.substr(colon + 1), &f->corruptXor)) {
            f->corruptAt = static_cast<int>(a);
        } else if (key == "delay" && ParseUnsigned(value, 0, kMaxFaultMs, &a)) {
            f->delayMs = static_cast<int>(a);
        } else if (key == "split" && ParseUnsigned(value, 1, kReplySize - 1, &a)) {
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
