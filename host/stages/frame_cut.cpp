#include "host/stages/frame_cut.h"

#include <algorithm>
#include <cstdio>

#include "protocol/frame_rules.h"

namespace zolhost {

namespace {

std::string Text(const char* format, unsigned value) {
    char b[96];
    std::snprintf(b, sizeof b, format, value);
    return b;
}

std::string RequestText(const ReceivedFrame& f) {
    switch (f.result) {
    case kRequestOk: return Text("request D1 %02X", f.d1);
    case kRequestBadEnd: return "request bad end byte, dropped by the device";
    case kRequestBadChecksum: return "request bad checksum, dropped by the device";
    }
    return "request";
}

// A reply as the host sees it; its EA is not held against any request here.
std::string ReplyText(const std::uint8_t* p, bool* good) {
    // Held against the request it answers: the EA rule is its own inverse.
    const ReplyFault fault = CheckReply(p, ReplyEa(p[1]));
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
    std::vector<ReceivedFrame> frames;
    receiver_.Feed(p, n, &frames);
    for (const ReceivedFrame& f : frames) {
        if (f.start > shown_) {
            Emit(Segment::Kind::Noise, shown_, f.start, "noise", out);
        }
        Emit(Segment::Kind::Request, f.start, f.end, RequestText(f), out);
        out->back().good = f.result == kRequestOk;
        good_ += out->back().good ? 1 : 0;
        shown_ = std::max(shown_, f.end);
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
    std::vector<ReplyCutter::Piece> pieces;
    cutter_.Feed(p, n, &pieces);
    Give(pieces, out);
}

void ReplyStream::Quiet(std::vector<Segment>* out) {
    std::vector<ReplyCutter::Piece> pieces;
    cutter_.Quiet(&pieces);
    Give(pieces, out);
}

void ReplyStream::Give(std::vector<ReplyCutter::Piece>& pieces, std::vector<Segment>* out) {
    for (ReplyCutter::Piece& piece : pieces) {
        if (!piece.reply) {
            out->push_back({Segment::Kind::Noise, std::move(piece.bytes), "noise"});
            continue;
        }
        Segment reply{Segment::Kind::Reply, std::move(piece.bytes), ""};
        reply.what = ReplyText(reply.bytes.data(), &reply.good);
        out->push_back(std::move(reply));
    }
}

}  // namespace zolhost
