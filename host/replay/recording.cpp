#include "host/replay/recording.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "host/base/text.h"
#include "host/capture/pcap_writer.h"
#include "host/stages/fault_plan.h"

namespace zolhost {

namespace {

using namespace pcapng;

// A block is never longer than this in a capture zolhost writes (a packet holds at
// most PcapWriter::kMaxPacket bytes, its comments a few hundred).
constexpr std::uint32_t kMaxBlock = 1u << 20;
// No more than this from one packet's time to the next, or from the first to the last.
constexpr std::int64_t kMaxSpanUs = std::int64_t{366} * 24 * 3600 * 1000000;

std::uint32_t U32(const std::uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24;
}
std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// A little-endian pcapng file, as PcapWriter writes it, one block at a time: one
// section, microsecond times on interface 0. Nothing is read past the size limit.
class BlockReader {
public:
    BlockReader(std::FILE* f, std::string path) : f_(f), path_(std::move(path)) {}
    enum class Got { Block, End, Bad };
    // The next block whole into block(); End after the last; Bad with Error() set.
    Got Next() {
        std::uint8_t head[8];
        const std::size_t n = std::fread(head, 1, sizeof head, f_);
        if (n == 0 && !std::ferror(f_)) {
            return Got::End;
        }
        if (n < sizeof head) {
            return Fail(std::ferror(f_) ? std::string(std::strerror(errno))
                                        : "cut short: " + std::to_string(n) + " bytes of a block at the end");
        }
        const std::uint32_t len = U32(head + 4);
        if (len < 12 || len % 4 != 0 || len > kMaxBlock) {
            return Fail("a damaged block: it says it is " + std::to_string(len) + " bytes long");
        }
        if (at_ + len > kMaxCaptureBytes) {
            return Fail("the capture is larger than the " + std::to_string(kMaxCaptureBytes >> 20) +
                        " MiB that replay reads");
        }
        block_.assign(head, head + sizeof head);
        block_.resize(len);
        const std::size_t rest = std::fread(block_.data() + sizeof head, 1, len - sizeof head, f_);
        if (rest < len - sizeof head) {
            return Fail(std::ferror(f_) ? std::string(std::strerror(errno))
                                        : "cut short: the block is " + std::to_string(len) + " bytes long, the file ends " +
                                              std::to_string(sizeof head + rest) + " bytes into it");
        }
        if (U32(block_.data() + len - 4) != len) {
            return Fail("a damaged block: its two lengths differ");
        }
        blockAt_ = at_;
        at_ += len;
        return Got::Block;
    }
    std::uint32_t Type() const { return U32(block_.data()); }
    const std::vector<std::uint8_t>& Block() const { return block_; }
    // Where the block is, or what is wrong with it: "PATH: byte 1234: ".
    std::string Where() const { return path_ + ": byte " + std::to_string(blockAt_) + ": "; }
    const std::string& Error() const { return error_; }

private:
    Got Fail(const std::string& why) {
        blockAt_ = at_;
        error_ = Where() + why;
        return Got::Bad;
    }
    std::FILE* f_;
    std::string path_;
    std::vector<std::uint8_t> block_;
    std::uint64_t at_ = 0;
    std::uint64_t blockAt_ = 0;
    std::string error_;
};

// The options of block b from `at` to its trailing length: each comment, the flags
// word, and the interface's time resolution. false when one runs past the block.
bool Options(const std::vector<std::uint8_t>& b, std::size_t at, std::vector<std::string>* comments,
             std::uint32_t* flags = nullptr, int* tsresol = nullptr) {
    const std::size_t end = b.size() - 4;
    while (at + 4 <= end) {
        const std::uint16_t code = U16(b.data() + at);
        const std::size_t len = U16(b.data() + at + 2);
        if (code == kOptEnd) {
            return true;
        }
        if (len > end - at - 4) {
            return false;
        }
        const std::uint8_t* value = b.data() + at + 4;
        if (code == kOptComment) {
            comments->emplace_back(reinterpret_cast<const char*>(value), len);
        } else if (code == kEpbFlags && len == 4 && flags != nullptr) {
            *flags = U32(value);
        } else if (code == kIfTsresol && len == 1 && tsresol != nullptr) {
            *tsresol = *value;
        }
        at += 4 + (len + 3) / 4 * 4;
    }
    return at == end;
}

// A packet block's contents, pointing into the block.
struct Packet {
    std::uint64_t us = 0;
    bool toDevice = true;
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    std::vector<std::string> comments;
};

// An enhanced packet block: interface, time (2 words), captured and original
// length, the bytes padded to 32 bits, options, the trailing length.
bool ReadPacket(const std::vector<std::uint8_t>& b, Packet* p, std::string* error) {
    if (b.size() < 32) {
        *error = "a packet block too short for a packet";
        return false;
    }
    if (U32(b.data() + 8) != 0) {
        *error = "a packet on an interface the capture does not describe";
        return false;
    }
    const std::uint64_t n = U32(b.data() + 20);
    if (28 + (n + 3) / 4 * 4 + 4 > b.size()) {
        *error = "its " + std::to_string(n) + " bytes run past its block";
        return false;
    }
    std::uint32_t flags = 0;
    if (!Options(b, 28 + static_cast<std::size_t>((n + 3) / 4 * 4), &p->comments, &flags)) {
        *error = "its options run past its block";
        return false;
    }
    const std::uint32_t direction = flags & (kFlagInbound | kFlagOutbound);
    if (direction != kFlagInbound && direction != kFlagOutbound) {
        *error = "it has no direction";
        return false;
    }
    p->us = std::uint64_t{U32(b.data() + 12)} << 32 | U32(b.data() + 16);
    p->toDevice = direction == kFlagOutbound;
    p->bytes = b.data() + 28;
    p->size = static_cast<std::size_t>(n);
    return true;
}

// The packet kept in the recording's store: its bytes as the sender sent them (a
// reply a fault corrupted on the way put back as it was, from its tag), and the
// link's words on it (its first comment that is no tag).
Recorded Keep(const Packet& p, PacketStore* store) {
    const bool reply = !p.toDevice && p.size == kReplySize;
    std::array<std::uint8_t, kReplySize> sent{};
    if (reply) {
        std::copy_n(p.bytes, kReplySize, sent.begin());
    }
    std::string_view comment;
    bool haveComment = false;
    for (const std::string& c : p.comments) {
        std::uint64_t index = 0;
        ReplyFaults f;
        if (ParseReplyTag(c, &index, &f)) {
            if (reply && f.Corrupted()) {
                ApplyCorruption(f, sent.data());  // a bit flipped twice is as it was
            }
        } else if (!haveComment) {
            comment = c;
            haveComment = true;
        }
    }
    std::uint8_t* at = store->Take(p.size + comment.size());
    std::copy_n(reply ? sent.data() : p.bytes, p.size, at);
    std::copy_n(comment.data(), comment.size(), at + p.size);
    Recorded r;
    r.bytes = {at, p.size};
    r.commentSize = static_cast<std::uint16_t>(comment.size());  // an option's length: at most 65535
    r.toDevice = p.toDevice;
    return r;
}

// The section header: byte order, version, and its comments into *header.
bool ReadHeader(const std::vector<std::uint8_t>& b, std::vector<std::string>* header, std::string* error) {
    if (b.size() < 28 || U32(b.data()) != kSectionHeader || U32(b.data() + 8) != kByteOrderMagic) {
        *error = "not a pcapng capture of zolhost link (or not in its byte order)";
        return false;
    }
    if (U16(b.data() + 12) != 1) {
        *error = "a pcapng capture of version " + std::to_string(U16(b.data() + 12)) + ", not 1";
        return false;
    }
    if (!Options(b, 24, header)) {
        *error = "the capture's header is damaged: an option runs past it";
        return false;
    }
    return true;
}

// The link's options from the header's comments.
bool ReadLinkOptions(const std::vector<std::string>& header, Recording* out, std::string* error) {
    bool have = false;
    for (const std::string& h : header) {
        std::string why;
        if (ParseRelayConfigTag(h, &out->relay, &why)) {
            have = true;
        } else if (why != "no link options") {
            *error = "its header's link options cannot be used: " + why;
            return false;
        }
        if (h.rfind("zolhost link:", 0) == 0) {
            out->description = h;
        }
    }
    if (!have) {
        *error = "cannot be replayed: its header has no link options (it was written by a zolhost from before replay, "
                 "or by another program): capture the session again";
    }
    return have;
}

bool IsTag(const std::string& note, const char* word) {
    const std::size_t n = std::strlen(word);
    return note.compare(0, n, word) == 0 && (note.size() == n || note[n] == ' ');
}

// The blocks after the header: the interface, then packets in time order.
bool ReadPackets(BlockReader& in, Recording* out, std::string* error) {
    bool haveInterface = false;
    std::size_t frame = 1;  // the header is no frame; Wireshark counts packets from 1
    std::optional<std::uint64_t> first, last;
    std::int64_t steeredUs = 0;
    for (BlockReader::Got got; (got = in.Next()) != BlockReader::Got::End;) {
        if (got == BlockReader::Got::Bad) {
            *error = in.Error();
            return false;
        }
        if (in.Type() == kSectionHeader) {
            *error = in.Where() + "a second capture follows the first";
            return false;
        }
        if (in.Type() == kInterfaceDescription) {
            int tsresol = 6;
            std::vector<std::string> unused;
            if (haveInterface || in.Block().size() < 20 || !Options(in.Block(), 16, &unused, nullptr, &tsresol) ||
                tsresol != 6) {
                *error = in.Where() + "an interface unlike the one zolhost link describes (one, times in microseconds)";
                return false;
            }
            haveInterface = true;
            continue;
        }
        if (in.Type() != kEnhancedPacket) {
            continue;  // a block replay has no use for
        }
        const std::size_t number = frame++;
        Packet p;
        std::string why = haveInterface ? "" : "a packet before the interface it is on";
        if (why.empty() && !ReadPacket(in.Block(), &p, &why)) {
            why = why.empty() ? "a damaged packet" : why;
        }
        const std::uint64_t us = p.us;
        if (why.empty() && last && us < *last) {
            why = "its time is before the packet's before it (" + SecondsText(static_cast<std::int64_t>(*last - us)) +
                  " earlier)";
        }
        if (why.empty() && first && us - *first > static_cast<std::uint64_t>(kMaxSpanUs)) {
            why = "it is more than a year after the first packet (" +
                  SecondsText(static_cast<std::int64_t>(std::min<std::uint64_t>(us - *first, INT64_MAX))) + ")";
        }
        if (!why.empty()) {
            *error = in.Where() + "frame " + std::to_string(number) + ": " + why;
            return false;
        }
        first = first ? first : us;
        last = us;
        FaultChangeAt change;
        SteerChangeAt steer;
        const std::string note = p.comments.empty() ? "" : p.comments.front();
        const auto atUs = static_cast<std::int64_t>(us - *first);
        if (p.size > 0) {
            Recorded& r = out->items.emplace_back(Keep(p, &out->store));
            r.frame = static_cast<std::uint32_t>(number);  // a packet block is 32 bytes at least: no more than 2^25 of them
            r.atUs = atUs;
        } else if (IsTag(note, kFaultChangeWord) || IsTag(note, kSteerChangeWord)) {
            // A change made to the session there: replayed without it, the session
            // would not be the one recorded, so one that cannot be read is refused.
            std::string rule;
            if (IsTag(note, kFaultChangeWord) && ParseFaultChangeTag(note, &change, &rule)) {
                out->relay.faultChanges.push_back(change);  // steered: the faults from then on
            } else if (IsTag(note, kSteerChangeWord) && ParseSteerChangeTag(note, &steer)) {
                steer.afterUs = atUs - steeredUs;  // steered: frozen, thawed, unplugged or plugged there
                steeredUs = atUs;
                out->relay.steerChanges.push_back(steer);
            } else {
                *error = in.Where() + "frame " + std::to_string(number) + ": its tag \"" + note.substr(0, 200) +
                         "\" cannot be read" + (rule.empty() ? "" : " (" + rule + ")") +
                         ", and the session cannot be replayed without the change it made";
                return false;
            }
        }  // else a note: nothing on the line
    }
    return true;
}

}  // namespace

bool ReadRecording(const std::string& path, Recording* out, std::string* error) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    return ReadRecordingFrom(file.get(), path, out, error);
}

bool ReadRecordingFrom(std::FILE* file, const std::string& path, Recording* out, std::string* error) {
    BlockReader in(file, path);
    *out = Recording{};
    std::vector<std::string> header;
    std::string why;
    if (in.Next() != BlockReader::Got::Block) {
        *error = in.Error().empty() ? path + " is empty" : in.Error();
        return false;
    }
    if (!ReadHeader(in.Block(), &header, &why) || !ReadLinkOptions(header, out, &why)) {
        *error = path + ": " + why;
        return false;
    }
    if (!ReadPackets(in, out, error)) {
        return false;
    }
    if (out->items.empty()) {
        *error = path + ": the capture holds no packets: nothing to replay";
        return false;
    }
    return true;
}

std::uint8_t* PacketStore::Take(std::size_t n) {
    if (n > room_) {
        const std::size_t size = std::max(n, kChunk);
        chunks_.emplace_back(new std::uint8_t[size]);  // not zeroed: every byte is written before it is read
        used_ = 0;
        room_ = size;
    }
    std::uint8_t* at = chunks_.back().get() + used_;
    used_ += n;
    room_ -= n;
    return at;
}

std::size_t Exchange::AnswerBytes() const {
    std::size_t n = 0;
    for (const Recorded& a : answers) {
        n += a.toDevice ? 0 : a.bytes.size();
    }
    return n;
}

std::vector<Exchange> Exchanges(const Recording& r, bool asTheDeviceHeard) {
    const std::span<const Recorded> items(r.items);
    std::vector<Exchange> out;
    out.reserve(static_cast<std::size_t>(
        1 + std::count_if(items.begin(), items.end(), [](const Recorded& item) { return item.toDevice; })));
    std::size_t from = 0;  // the first answer of the exchange being gathered
    const Recorded* request = nullptr;
    std::uint64_t taken = 0;  // the host's bytes before items[i]
    bool frozen = false;
    std::size_t steer = 0;
    for (std::size_t i = 0; i <= items.size(); ++i) {
        if (i < items.size() && !items[i].toDevice) {
            continue;
        }
        if (i < items.size()) {
            for (; steer < r.relay.steerChanges.size() && r.relay.steerChanges[steer].taken <= taken; ++steer) {
                const SteerChangeAt::Kind k = r.relay.steerChanges[steer].kind;
                frozen = k == SteerChangeAt::Kind::Freeze || (frozen && k != SteerChangeAt::Kind::Thaw);
            }
            taken += items[i].bytes.size();
            if (asTheDeviceHeard && frozen) {
                continue;  // never heard: the exchange before goes on past it
            }
        }
        // The exchange so far ends here (the next request, or the end); the device's
        // packets before the host's first are one only when there are any.
        if (request != nullptr || i > from) {
            out.push_back(Exchange{request, items.subspan(from, i - from)});
        }
        if (i < items.size()) {
            request = &items[i];
            from = i + 1;
        }
    }
    return out;
}

}  // namespace zolhost
