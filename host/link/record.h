// The record of a link: one event per frame, run of noise or note, which the
// trace, the capture and the summary all take, so that they cannot disagree.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/base/clock.h"
#include "host/capture/pcap_writer.h"
#include "host/stages/fault_plan.h"
#include "host/stages/frame_cut.h"
#include "host/transport/endpoint.h"

namespace zolhost {

enum class Side { Host, Device };

struct LinkEvent {
    enum class Kind { Frame, Noise, Note };
    Kind kind = Kind::Frame;
    Clock::time_point at{};
    bool toDevice = true;              // its direction: host to device, or device to host
    std::vector<std::uint8_t> bytes;   // as they came from the sender
    std::vector<std::uint8_t> onLine;  // as they went on the line, where a fault changed them
    std::string what;                  // "request D1 5A", "reply EA A5 good", "noise"; a note's text
    std::string did;                   // what the link did: "dropped", "corrupted (...)", "lost: ..."

    // For the summary: a frame's kind and faults; the kind of a note of an end's
    // peer, and which end's.
    Segment::Kind segment = Segment::Kind::Noise;
    bool good = false;
    bool reply = false;
    std::uint64_t replyIndex = 0;  // the reply's number, from 0, for its faults
    ReplyFaults faults;
    bool unheard = false;  // a reply the host end was closed for
    bool peerNote = false;
    LineNote::Kind noteKind = LineNote::Kind::Peer;
    Side noteFrom = Side::Host;
    // Notes: false for those zolhost says on its own (an end opened or closed),
    // which go to the capture only; `sayUntraced`: said on standard error when
    // there is no trace.
    bool traced = true;
    bool sayUntraced = false;
};

// What the summary counts of the events.
struct LinkTally {
    std::uint64_t goodRequests = 0;
    std::uint64_t replies = 0, forwarded = 0, unheard = 0, dropped = 0, corrupted = 0, delayed = 0, split = 0;
    struct Notes {
        std::uint64_t settings = 0, controls = 0, purges = 0, refused = 0;
    } host, device;
};

class LinkRecord {
public:
    // trace: every event on standard error. The capture, when one is open, gets
    // every event too.
    // label: before each trace line (which link, where several run); empty: none.
    explicit LinkRecord(bool trace, std::string label = {}) : trace_(trace), label_(std::move(label)) {}
    // `header`: what the capture is of, a comment each, in its section header.
    bool OpenCapture(const std::string& path, std::string* error, const std::vector<std::string>& header = {}) {
        return pcap_.Open(path, error, header);
    }
    void Add(const LinkEvent& e);
    // Hands the capture's new packets to its file; a capture that fails is said once
    // and stops.
    void Flush();
    const LinkTally& Tally() const { return tally_; }

private:
    void Count(const LinkEvent& e);
    void Capture(const LinkEvent& e);

    bool trace_;
    std::string label_;
    PcapWriter pcap_;
    bool unflushed_ = false;
    LinkTally tally_;
    const std::chrono::system_clock::time_point startWall_ = std::chrono::system_clock::now();
    const Clock::time_point start_ = Clock::now();
};

}  // namespace zolhost
