#include "host/relay_frames.h"

#include <algorithm>
#include <cstdio>

#include "host/host_frames.h"

namespace zolhost {

namespace {

std::string Text(const char* format, unsigned value) {
    char b[96];
    std::snprintf(b, sizeof b, format, value);
    return b;
}

std::string RequestText(const HuntEvent& ev) {
    switch (ev.kind) {
    case HuntEvent::Kind::Good: return Text("request D1 %02X", ev.d1);
    case HuntEvent::Kind::BadEnd: return "request bad end byte, dropped by the device";
    case HuntEvent::Kind::BadChecksum: return "request bad checksum, dropped by the device";
    }
    return "request";
}

// A reply as the host sees it; its EA is not held against any request here.
std::string ReplyText(const std::uint8_t* p, bool* good) {
    const ReplyFault fault = CheckReply(p, static_cast<std::uint8_t>(p[1] ^ 0xFF));
    *good = fault == ReplyFault::None;
    if (fault == ReplyFault::None) {
        return Text("reply EA %02X good", p[1]);
    }
    if (fault == ReplyFault::BadChecksum) {
        return "reply bad checksum";
    }
    return Text("reply EA %02X bad: ", p[1]) + ReplyFaultText(fault);
}

}  // namespace

void RequestStream::Emit(Segment::Kind kind, std::uint64_t from, std::uint64_t to, std::string what,
                         std::vector<Segment>* out) {
    const auto b = bytes_.begin() + static_cast<std::ptrdiff_t>(from - base_);
    out->push_back({kind, std::vector<std::uint8_t>(b, b + static_cast<std::ptrdiff_t>(to - from)), std::move(what)});
}

void RequestStream::Feed(const std::uint8_t* p, std::size_t n, std::vector<Segment>* out) {
    bytes_.insert(bytes_.end(), p, p + n);
    total_ += n;
    std::vector<HuntEvent> events;
    receiver_.Feed(p, n, &events);
    for (const HuntEvent& ev : events) {
        if (ev.start > shown_) {
            Emit(Segment::Kind::Noise, shown_, ev.start, "noise", out);
        }
        // A wrong end byte ends the frame there: the byte after it is hunted again.
        const std::uint64_t end = ev.start + (ev.kind == HuntEvent::Kind::BadEnd ? kRequestSize - 1 : kRequestSize);
        Emit(Segment::Kind::Request, ev.start, end, RequestText(ev), out);
        out->back().good = ev.kind == HuntEvent::Kind::Good;
        good_ += out->back().good ? 1 : 0;
        shown_ = std::max(shown_, end);
    }
    // Bytes before both what is shown and what the receiver still holds are done with.
    const std::uint64_t keep = std::min(shown_, receiver_.Position());
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(keep - base_));
    base_ = keep;
}

void RequestStream::Quiet(std::vector<Segment>* out) {
    const std::uint64_t dropped = receiver_.Position();
    if (dropped > shown_) {
        Emit(Segment::Kind::Noise, shown_, dropped, "noise", out);
        shown_ = dropped;
    }
    if (total_ > shown_) {
        Emit(Segment::Kind::Waiting, shown_, total_, "incomplete: the device waits for 7 bytes", out);
        shown_ = total_;
    }
}

void ReplyStream::Feed(const std::uint8_t* p, std::size_t n, std::vector<Segment>* out) {
    held_.insert(held_.end(), p, p + n);
    Cut(out);
}

void ReplyStream::Cut(std::vector<Segment>* out) {
    std::size_t noise = 0;  // start of the noise not given out yet
    std::size_t i = 0;
    auto giveNoise = [&](std::size_t end) {
        if (end > noise) {
            out->push_back({Segment::Kind::Noise, std::vector<std::uint8_t>(held_.begin() + static_cast<std::ptrdiff_t>(noise),
                                                                             held_.begin() + static_cast<std::ptrdiff_t>(end)),
                            "noise"});
        }
    };
    while (i < held_.size()) {
        if (held_[i] != kReplyStart) {
            ++i;
            continue;
        }
        if (held_.size() - i < kReplySize) {
            break;  // maybe the start of a reply: held for the rest
        }
        if (held_[i + kReplySize - 2] != kReplyEnd) {
            ++i;  // no end byte where a reply has it: the 0x12 was noise
            continue;
        }
        giveNoise(i);
        Segment reply{Segment::Kind::Reply,
                      std::vector<std::uint8_t>(held_.begin() + static_cast<std::ptrdiff_t>(i),
                                                held_.begin() + static_cast<std::ptrdiff_t>(i + kReplySize)),
                      ""};
        reply.what = ReplyText(reply.bytes.data(), &reply.good);
        out->push_back(std::move(reply));
        i += kReplySize;
        noise = i;
    }
    giveNoise(i);
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(i));
}

void ReplyStream::Quiet(std::vector<Segment>* out) {
    if (!held_.empty()) {
        out->push_back({Segment::Kind::Noise, std::move(held_), "noise"});
        held_.clear();
    }
}

}  // namespace zolhost
