#include "host/link/record.h"

#include "host/base/text.h"

namespace zolhost {

void LinkRecord::Add(const LinkEvent& e) {
    Count(e);
    Capture(e);
    const char arrow = e.toDevice ? '>' : '<';
    if (e.kind == LinkEvent::Kind::Note) {
        if (trace_ && e.traced) {
            TraceLine(e.at, arrow, label_, "", e.what);
        } else if (e.sayUntraced) {
            Say(e.what);
        }
        return;
    }
    if (trace_) {
        const std::string what = e.kind == LinkEvent::Kind::Noise ? "noise" : e.what;
        TraceLine(e.at, arrow, label_, Hex(e.bytes.data(), e.bytes.size()), what + (e.did.empty() ? "" : ", " + e.did));
    }
}

void LinkRecord::Count(const LinkEvent& e) {
    LinkTally& t = tally_;
    if (e.kind == LinkEvent::Kind::Note) {
        if (!e.peerNote) {
            return;
        }
        LinkTally::Notes& n = e.noteFrom == Side::Host ? t.host : t.device;
        switch (e.noteKind) {
        case LineNote::Kind::Setting: ++n.settings; break;
        case LineNote::Kind::Control: ++n.controls; break;
        case LineNote::Kind::Purge: ++n.purges; break;
        case LineNote::Kind::Refused: ++n.refused; break;
        case LineNote::Kind::Peer: break;
        }
        return;
    }
    if (e.segment == Segment::Kind::Request && e.good) {
        ++t.goodRequests;
    }
    if (!e.reply) {
        return;
    }
    ++t.replies;
    if (e.faults.drop) {
        ++t.dropped;
        return;
    }
    if (e.unheard) {
        ++t.unheard;
        return;
    }
    ++t.forwarded;
    t.corrupted += e.faults.Corrupted() ? 1 : 0;
    t.delayed += e.faults.delayMs > 0 ? 1 : 0;
    t.split += e.faults.splitAt > 0 ? 1 : 0;
}

// A packet of the bytes as they went on the line, with what the link did as its
// comment; a note is a packet with no bytes.
void LinkRecord::Capture(const LinkEvent& e) {
    if (!pcap_.IsOpen()) {
        return;
    }
    const auto wall = startWall_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(e.at - start_);
    const auto us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(wall.time_since_epoch()).count());
    const auto d = e.toDevice ? PcapWriter::Direction::HostToDevice : PcapWriter::Direction::DeviceToHost;
    if (e.kind == LinkEvent::Kind::Note) {
        pcap_.Note(d, us, e.what);
    } else {
        const std::vector<std::uint8_t>& bytes = e.onLine.empty() ? e.bytes : e.onLine;
        pcap_.Packet(d, us, bytes.data(), bytes.size(), e.did, e.reply ? ReplyTag(e.replyIndex, e.faults) : "");
    }
    unflushed_ = true;
}

void LinkRecord::Flush() {
    if (!pcap_.IsOpen() || !unflushed_) {
        return;
    }
    unflushed_ = false;
    pcap_.Flush();
    if (!pcap_.Good()) {
        Say(pcap_.Error() + "; capturing stops");
        pcap_.Close();
    }
}

}  // namespace zolhost
