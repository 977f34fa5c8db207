// Faults that `zolhost link` puts on the replies it forwards: which reply is
// dropped, which corrupted, how long each is held back and where it is split.
// Each reply's faults follow from the seed and the reply's number alone, so a run
// with the same seed and the same replies meets the same faults, whatever the
// timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zolhost {

struct FaultSettings {
    double dropPct = 0;     // of replies never delivered
    double corruptPct = 0;  // of replies delivered with one byte changed
    int delayMinMs = 0;     // every reply held back this long, or up to delayMaxMs
    int delayMaxMs = 0;
    int splitGapMs = -1;    // >= 0: every reply delivered in two parts, this far apart

    bool Any() const { return dropPct > 0 || corruptPct > 0 || delayMaxMs > 0 || splitGapMs >= 0; }
};

// The one rule for fault values, wherever they come from (a command line, the
// control API, a capture's header or tags): the ranges each keeps, and what a
// value out of them is told it needs. Each way names the values its own way; the
// rule and its words are the same for all.
inline constexpr int kMaxFaultMs = 60000;  // the longest delay or split gap
inline constexpr char kPercentNeeds[] = "a percentage (0-100)";
inline constexpr char kFaultMsNeeds[] = "milliseconds (0-60000)";
inline constexpr char kDelayNeeds[] = "milliseconds (0-60000), one number or the least and the most";
inline constexpr char kSharedNeeds[] = "share the replies: together at most 100%";
struct FaultNames {
    const char* drop;
    const char* corrupt;
    const char* delay;
    const char* split;
};
inline constexpr FaultNames kOptionNames{"--drop", "--corrupt", "--delay", "--split"};  // the command line
inline constexpr FaultNames kFieldNames{"drop_pct", "corrupt_pct", "delay_ms", "split_ms"};  // the control API
inline constexpr FaultNames kTagNames{"drop", "corrupt", "delay", "split"};  // a capture's header and tags
// "MS" or "MIN-MAX" into f's delay; false (f unchanged) out of range.
bool ParseDelay(const std::string& s, FaultSettings* f);
// What is wrong with the settings taken together, in `names` ("--drop and
// --corrupt share ..."); empty when nothing is.
std::string FaultSettingsFault(const FaultSettings& f, const FaultNames& names);

// The settings as the trace and a capture's header say them:
// "drop=10 corrupt=0 delay=0-0 split=-1".
std::string FaultSettingsText(const FaultSettings& f);

// Faults (and the line's pace) changed while the link runs, from reply number
// `fromReply` on, as the trace and a capture keep it:
// "zol-faults from=12 pace=9600 drop=10 corrupt=0 delay=0-0 split=-1".
struct FaultChangeAt {
    std::uint64_t fromReply = 0;
    FaultSettings faults;
    std::optional<std::uint32_t> paceBaud;  // nothing: the pace stays (a tag written before it could change)
};
inline constexpr char kFaultChangeWord[] = "zol-faults";  // the tag's first word
std::string FaultChangeTag(const FaultChangeAt& c);
// Reads a tag back; false for any other text, with *why (when given) saying what
// the faults' rule refuses in it, if that is all.
bool ParseFaultChangeTag(const std::string& tag, FaultChangeAt* c, std::string* why = nullptr);

struct ReplyFaults {
    bool drop = false;  // a dropped reply gets no other fault
    int corruptAt = -1;  // offset of the changed byte; -1: unchanged
    std::uint8_t corruptXor = 0;  // the bit flipped there
    int delayMs = 0;
    int splitAt = 0;  // bytes in the first part; 0: delivered whole

    bool Corrupted() const { return corruptAt >= 0; }
};

class FaultPlan {
public:
    FaultPlan(const FaultSettings& settings, std::uint64_t seed) : s_(settings), seed_(seed) {}
    // The faults of reply number `index` (0 for the first reply of the run).
    ReplyFaults For(std::uint64_t index) const;

private:
    FaultSettings s_;
    std::uint64_t seed_;
};

// Applies the byte change of `f` to a reply frame (9 bytes); the frame's checksum
// no longer matches afterwards. Nothing happens when f has no corruption.
void ApplyCorruption(const ReplyFaults& f, std::uint8_t* reply);

// A reply that is not dropped, as its faults leave it: the bytes that go on, how
// long they are held back, where they are split, and what was done, as the trace
// says it ("corrupted (offset 3: 00 -> 04), delayed 5 ms, split 4+5, 2 ms apart").
struct FaultedReply {
    std::vector<std::uint8_t> bytes;
    int delayMs = 0;
    std::size_t splitAt = 0;  // bytes in the first part; 0: whole
    std::string did;
};
FaultedReply ApplyFaults(const ReplyFaults& f, const std::vector<std::uint8_t>& reply, int splitGapMs);

// A reply's number and its faults as a capture keeps them for replay:
// "zol-reply 12 corrupt=3:04 delay=5 split=4", "zol-reply 13 drop".
std::string ReplyTag(std::uint64_t index, const ReplyFaults& f);
// Reads a tag back; false for any other text.
bool ParseReplyTag(const std::string& tag, std::uint64_t* index, ReplyFaults* f);

}  // namespace zolhost
