#include "host/replay/recording.h"

#include <fstream>
#include <iterator>

#include "host/link/pcap_writer.h"
#include "host/stages/fault_plan.h"

namespace zolhost {

namespace {

using namespace pcapng;

// A little-endian pcapng file, as PcapWriter writes it: one section, microsecond
// times on interface 0.
class Blocks {
public:
    explicit Blocks(std::vector<std::uint8_t> f) : f_(std::move(f)) {}
    bool Fits(std::size_t at, std::size_t n) const { return at <= f_.size() && n <= f_.size() - at; }
    std::uint32_t U32(std::size_t at) const {
        return f_[at] | f_[at + 1] << 8 | f_[at + 2] << 16 | std::uint32_t{f_[at + 3]} << 24;
    }
    std::uint16_t U16(std::size_t at) const { return static_cast<std::uint16_t>(f_[at] | f_[at + 1] << 8); }
    const std::uint8_t* At(std::size_t at) const { return f_.data() + at; }
    // The options from `at` to `end`: each comment, and the flags word.
    bool Options(std::size_t at, std::size_t end, std::vector<std::string>* comments, std::uint32_t* flags) const {
        while (at + 4 <= end) {
            const std::uint16_t code = U16(at);
            const std::uint16_t len = U16(at + 2);
            if (code == 0) {
                return true;
            }
            if (!Fits(at + 4, len) || at + 4 + len > end) {
                return false;
            }
            if (code == kOptComment) {
                comments->emplace_back(reinterpret_cast<const char*>(At(at + 4)), len);
            } else if (code == kEpbFlags && len == 4 && flags != nullptr) {
                *flags = U32(at + 4);
            }
            at += 4 + (len + 3u) / 4 * 4;
        }
        return true;
    }

private:
    std::vector<std::uint8_t> f_;
};

// The device's reply as it sent it, from the bytes on the line and its tag.
void UndoFaults(Recorded* r, const std::vector<std::string>& comments) {
    for (const std::string& c : comments) {
        std::uint64_t index = 0;
        ReplyFaults f;
        if (ParseReplyTag(c, &index, &f) && f.Corrupted() && r->bytes.size() == kReplySize) {
            ApplyCorruption(f, r->bytes.data());  // a bit flipped twice is as it was
        }
    }
}

bool ReadPacket(const Blocks& b, std::size_t at, std::size_t len, Recording* out, std::string* error) {
    const std::uint32_t n = b.U32(at + 20);
    if (!b.Fits(at + 28, n) || 28 + n > len) {
        *error = "a packet runs past its block";
        return false;
    }
    const std::uint64_t us = std::uint64_t{b.U32(at + 12)} << 32 | b.U32(at + 16);
    std::vector<std::string> comments;
    std::uint32_t flags = 0;
    if (!b.Options(at + 28 + (n + 3u) / 4 * 4, at + len - 4, &comments, &flags)) {
        *error = "a packet's options run past its block";
        return false;
    }
    Recorded r;
    r.atUs = static_cast<std::int64_t>(us);
    r.toDevice = (flags & kFlagOutbound) != 0;
    r.bytes.assign(b.At(at + 28), b.At(at + 28) + n);
    r.comment = comments.empty() ? "" : comments.front();
    if (!r.toDevice) {
        UndoFaults(&r, comments);
    }
    out->items.push_back(std::move(r));
    return true;
}

}  // namespace

bool ReadRecording(const std::string& path, Recording* out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    const Blocks b(std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    if (!b.Fits(0, 28) || b.U32(0) != kSectionHeader || b.U32(8) != kByteOrderMagic) {
        *error = path + " is not a pcapng capture of zolhost link (or not in its byte order)";
        return false;
    }
    *out = Recording{};
    std::vector<std::string> header;
    bool haveTag = false;
    std::size_t frame = 0;
    std::vector<FaultChangeAt> changes;
    for (std::size_t at = 0; b.Fits(at, 12);) {
        const std::uint32_t type = b.U32(at);
        const std::uint32_t len = b.U32(at + 4);
        if (len < 12 || len % 4 != 0 || !b.Fits(at, len)) {
            *error = path + ": a damaged block at byte " + std::to_string(at);
            return false;
        }
        if (type == kSectionHeader) {
            if (at != 0) {
                *error = path + " holds more than one capture";
                return false;
            }
            b.Options(at + 24, at + len - 4, &header, nullptr);
        } else if (type == kEnhancedPacket) {
            ++frame;
            if (!ReadPacket(b, at, len, out, error)) {
                *error = path + ": frame " + std::to_string(frame) + ": " + *error;
                return false;
            }
            out->items.back().frame = frame;
            if (out->items.back().bytes.empty()) {
                FaultChangeAt change;
                if (ParseFaultChangeTag(out->items.back().comment, &change)) {
                    changes.push_back(change);  // steered: the faults from then on
                }
                out->items.pop_back();  // a note: nothing on the line
            }
        }
        at += len;
    }
    std::string why = "no link options";
    for (const std::string& h : header) {
        haveTag = haveTag || ParseRelayConfigTag(h, &out->relay, &why);
        if (h.rfind("zolhost link:", 0) == 0) {
            out->description = h;
        }
    }
    if (!haveTag) {
        *error = path + " cannot be replayed: its header has " + why +
                 " (it was written by a zolhost from before replay, or by another program): capture the session again";
        return false;
    }
    out->relay.faultChanges = std::move(changes);
    const std::int64_t first = out->items.empty() ? 0 : out->items.front().atUs;
    for (Recorded& r : out->items) {
        r.atUs -= first;
    }
    return true;
}

std::size_t Exchange::AnswerBytes() const {
    std::size_t n = 0;
    for (const Answer& a : answers) {
        n += a.packet->bytes.size();
    }
    return n;
}

std::vector<Exchange> Exchanges(const Recording& r) {
    std::vector<Exchange> out(1);  // what the device sent before the host's first packet
    for (const Recorded& item : r.items) {
        if (item.toDevice) {
            out.push_back(Exchange{&item, {}});
            continue;
        }
        const std::int64_t since = out.back().request != nullptr ? out.back().request->atUs : 0;
        out.back().answers.push_back({&item, item.atUs - since});
    }
    if (out.front().answers.empty()) {
        out.erase(out.begin());
    }
    return out;
}

}  // namespace zolhost
