// libFuzzer target: what `zolhost replay` reads from a capture someone passed around.
//
// The input is read four ways:
//  1. As a whole capture file. A capture that is taken has packets, its link options
//     pass the command line's checks, its times run forward from 0 and the faults of
//     its link can be planned; one that is refused says why and where.
//  2. As the text of a header's link options: one that is read back writes out as a
//     text that reads back the same.
//  3. As a reply's tag: one that is read back keeps its offsets inside a reply.
//  4. As the note of a steered change (faults and pace, freeze, unplug ...): one that
//     is read back writes out as a text that reads back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/replay/recording.h"
#include "protocol/frame_rules.h"

namespace {

using namespace zolhost;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "capture: %s: %s\n", what, detail.c_str());
    std::abort();
}

void AsCapture(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    if (f == nullptr) {
        return;  // fmemopen refuses an empty buffer
    }
    Recording r;
    std::string error;
    const bool taken = ReadRecordingFrom(f, "fuzz.pcapng", &r, &error);
    std::fclose(f);
    if (!taken) {
        if (error.rfind("fuzz.pcapng", 0) != 0) {
            Fail("a refusal that does not name the capture", error);
        }
        return;
    }
    if (r.items.empty() || !FaultSettingsFault(r.relay.faults, kTagNames).empty()) {
        Fail("a capture taken with no packets or faults out of range", RelayConfigTag(r.relay));
    }
    std::int64_t last = 0;
    for (const Recorded& item : r.items) {
        if (item.atUs < last || item.bytes.empty()) {
            Fail("a packet out of time order or empty", std::to_string(item.frame));
        }
        last = item.atUs;
    }
    const FaultPlan plan(r.relay.faults, r.relay.seed);
    for (std::uint64_t i = 0; i < 4; ++i) {
        const ReplyFaults f = plan.For(i);
        if (!f.drop && (f.delayMs < r.relay.faults.delayMinMs || f.delayMs > r.relay.faults.delayMaxMs)) {
            Fail("a delay outside the link's range", std::to_string(f.delayMs));
        }
    }
    std::size_t bytes = 0;
    for (const Exchange& e : Exchanges(r)) {
        bytes += e.AnswerBytes() + (e.request != nullptr ? e.request->bytes.size() : 0);
    }
    std::size_t all = 0;
    for (const Recorded& item : r.items) {
        all += item.bytes.size();
    }
    if (bytes != all) {
        Fail("exchanges that lose or add bytes", std::to_string(bytes) + " of " + std::to_string(all));
    }
}

void AsLinkOptions(const std::string& text) {
    RelayConfig c;
    std::string error;
    if (!ParseRelayConfigTag(text, &c, &error)) {
        return;
    }
    const std::string tag = RelayConfigTag(c);
    RelayConfig again;
    if (!ParseRelayConfigTag(tag, &again, &error) || RelayConfigTag(again) != tag) {
        Fail("link options that do not read back as written", tag + " / " + error);
    }
}

void AsReplyTag(const std::string& text) {
    std::uint64_t index = 0;
    ReplyFaults f;
    if (!ParseReplyTag(text, &index, &f)) {
        return;
    }
    if (f.corruptAt >= static_cast<int>(kReplySize) || f.splitAt < 0 || f.splitAt >= static_cast<int>(kReplySize) ||
        f.delayMs < 0) {
        Fail("a reply tag read outside a reply", text);
    }
    std::uint64_t again = 0;
    ReplyFaults g;
    if (!ParseReplyTag(ReplyTag(index, f), &again, &g) || again != index || ReplyTag(again, g) != ReplyTag(index, f)) {
        Fail("a reply tag that does not read back as written", ReplyTag(index, f));
    }
}

void AsChangeTag(const std::string& text) {
    FaultChangeAt f;
    if (ParseFaultChangeTag(text, &f)) {
        FaultChangeAt again;
        if (!FaultSettingsFault(f.faults, kTagNames).empty() || !ParseFaultChangeTag(FaultChangeTag(f), &again) ||
            FaultChangeTag(again) != FaultChangeTag(f)) {
            Fail("a faults change that does not read back as written", FaultChangeTag(f));
        }
    }
    SteerChangeAt s;
    if (ParseSteerChangeTag(text, &s)) {
        SteerChangeAt again;
        if (!ParseSteerChangeTag(SteerChangeTag(s), &again) || SteerChangeTag(again) != SteerChangeTag(s)) {
            Fail("a steered change that does not read back as written", SteerChangeTag(s));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    AsCapture(data, size);
    const std::string text(reinterpret_cast<const char*>(data), size);
    AsLinkOptions(text);
    AsReplyTag(text);
    AsChangeTag(text);
    return 0;
}
