// ping and drive.
#include "host/cli/commands.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "host/base/latency_stats.h"
#include "host/base/text.h"
#include "host/system/system.h"
#include "host/transport/reply_reader.h"
#include "protocol/frame_rules.h"

namespace zolhost {

int RunPing(Channel& link, const PingConfig& o) {
    const auto& d = o.data;
    const RequestFrame request = MakeRequest(d[0], d[1], d[2], d[3]);
    ReplyReader reader(link);
    reader.DiscardPending();
    std::printf("request  %s\n", Hex(request.data(), request.size()).c_str());
    std::fflush(stdout);
    const auto t0 = Clock::now();
    if (!link.Send(request.data(), request.size())) {
        std::fprintf(stderr, "zolhost: %s\n", link.Error().c_str());
        return kExitCheckFailed;
    }
    ReplyFrame reply{};
    switch (reader.Next(&reply, t0 + std::chrono::milliseconds(o.timeoutMs))) {
    case Io::Done: break;
    case Io::Timeout:
    case Io::WouldBlock:
        std::fprintf(stderr, "zolhost: no reply from %s within %d ms%s\n", link.Name().c_str(), o.timeoutMs,
                     reader.Buffered() > 0 ? " (only part of one arrived)"
                     : reader.TakeNoise() > 0 ? " (only bytes that are no reply arrived)" : "");
        return kExitCheckFailed;
    case Io::HungUp:
        std::fprintf(stderr, "zolhost: %s hung up: the program at the device end closed it\n", link.Name().c_str());
        return kExitCheckFailed;
    case Io::Stopped:
        std::fprintf(stderr, "zolhost: interrupted before the reply\n");
        return kExitCheckFailed;
    case Io::Failed:
        std::fprintf(stderr, "zolhost: %s\n", link.Error().c_str());
        return kExitCheckFailed;
    }
    const double rtt = MicrosSince(t0);
    std::printf("reply    %s   round trip %s\n", Hex(reply.data(), reply.size()).c_str(), FormatMicros(rtt).c_str());
    if (const std::size_t noise = reader.TakeNoise(); noise > 0) {
        std::printf("EA %02X: %zu bytes that are no reply came before it\n", reply[1], noise);
        return kExitCheckFailed;
    }
    const ReplyFault fault = CheckReply(reply.data(), d[0]);
    if (fault != ReplyFault::None) {
        std::printf("EA %02X: bad reply: %s (the reply to D1 %02X has EA %02X)\n", reply[1], ReplyFaultText(fault), d[0],
                    ReplyEa(d[0]));
        return kExitCheckFailed;
    }
    // A device that answers once says nothing more.
    const std::size_t extra = reader.Unasked(50);
    if (extra > 0) {
        std::printf("EA %02X: good, but %llu more bytes followed the reply\n", reply[1], static_cast<unsigned long long>(extra));
        return kExitCheckFailed;
    }
    std::printf("EA %02X: good (D1 %02X xor FF)\n", reply[1], d[0]);
    return kExitGood;
}

namespace {

constexpr int kGiveUpAfter = 5;  // timeouts in a row: the device is not there

// What a drive has counted, and how it ended.
struct DriveTally {
    std::uint64_t sent = 0, answered = 0, bad = 0, timeouts = 0, stray = 0;
    double last = -1;  // the last round trip; -1 before the first
    int inARow = 0;    // timeouts since the last reply
    std::string ended = "interrupted";
    bool missing = false;  // a reply was owed when it ended

    // The live line, and the start of the final summary.
    std::string Line() const {
        char b[200];
        std::snprintf(b, sizeof b,
                      "sent %" PRIu64 ", answered %" PRIu64 ", bad %" PRIu64 ", timeouts %" PRIu64
                      ", last round trip %s",
                      sent, answered, bad, timeouts, last < 0 ? "-" : FormatMicros(last).c_str());
        return std::string(b);
    }
    bool Good() const { return bad == 0 && timeouts == 0 && stray == 0 && !missing && answered == sent; }
};

// The request numbered seq: its data bytes change from one request to the next.
RequestFrame DriveRequest(std::uint64_t seq) {
    return MakeRequest(static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(seq >> 8),
                       static_cast<std::uint8_t>(seq >> 16), static_cast<std::uint8_t>(~seq));
}

// Sends the next request and waits for its reply; false when the drive ends.
bool DriveOne(Channel& link, ReplyReader& reader, int timeoutMs, DriveTally* t) {
    t->stray += reader.DiscardPending();  // late replies, or bytes nobody asked for
    const RequestFrame req = DriveRequest(t->sent);
    const auto t0 = Clock::now();
    if (!link.Send(req.data(), req.size())) {
        t->ended = link.Error();
        t->missing = true;
        return false;
    }
    ++t->sent;
    ReplyFrame reply{};
    const Io r = reader.Next(&reply, t0 + std::chrono::milliseconds(timeoutMs));
    t->stray += reader.TakeNoise();
    if (r == Io::Done) {
        t->last = MicrosSince(t0);
        t->inARow = 0;
        if (CheckReply(reply.data(), req[1]) == ReplyFault::None) {
            ++t->answered;
        } else {
            ++t->bad;
            t->stray += reader.DiscardPending();
        }
        return true;
    }
    if (r == Io::Timeout) {
        ++t->timeouts;
        if (++t->inARow < kGiveUpAfter) {
            return true;
        }
        // Built a piece at a time: g++ 12 takes the one-expression form at -O3 for an
        // overlapping copy (-Wrestrict) and stops the Windows build.
        char text[64];
        std::snprintf(text, sizeof text, "no reply to %d requests in a row: ", kGiveUpAfter);
        t->ended = text;
        t->ended += link.Name();
        t->ended += " is not answering";
    } else if (r == Io::Stopped) {
        --t->sent;  // interrupted while waiting: this request's reply was not awaited
    } else {
        t->missing = true;
        t->ended = r == Io::HungUp ? "the program at " + link.Name() + " closed it" : link.Error();
    }
    return false;
}

// Sleeps until the next request is due (at once when behind: no burst to catch
// up), then looks for the device end having left; false when the drive ends.
bool AwaitNext(Channel& link, Clock::time_point* next, Clock::duration period, DriveTally* t) {
    *next += period;
    const auto now = Clock::now();
    if (*next < now) {
        *next = now;
    } else if (!SleepUnlessStopped(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*next - now).count()))) {
        return false;
    }
    // Between requests the device end may have left: a hang-up shows at once.
    std::vector<std::uint8_t> late;
    if (link.Receive(&late, Clock::now()) == Io::HungUp) {
        t->ended = "the program at " + link.Name() + " closed it";
        return false;
    }
    t->stray += late.size();
    return true;
}

}  // namespace

int RunDrive(Channel& link, const DriveConfig& o) {
    const bool live = IsTerminal(stdout);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o.rate));
    ReplyReader reader(link);
    DriveTally t;
    auto lastShown = Clock::time_point{};
    std::fprintf(stderr, "zolhost: driving %s at %g requests/s; Ctrl-C to stop\n", link.Name().c_str(), o.rate);
    auto next = Clock::now();
    while (!StopRequested()) {
        if (o.count != 0 && t.sent >= o.count) {
            t.ended = "count reached";
            break;
        }
        if (!DriveOne(link, reader, o.timeoutMs, &t)) {
            break;
        }
        if (live && Clock::now() - lastShown >= std::chrono::milliseconds(100)) {
            std::printf("\r%s   ", t.Line().c_str());
            std::fflush(stdout);
            lastShown = Clock::now();
        }
        if (!AwaitNext(link, &next, period, &t)) {
            break;
        }
    }
    if (live) {
        std::printf("\r%s   \n", t.Line().c_str());
    }
    std::printf("drive: %s%s; %s\n", t.Line().c_str(),
                t.stray > 0 ? (", " + std::to_string(t.stray) + " unexpected bytes").c_str() : "",
                t.missing ? (t.ended + ", with a reply outstanding").c_str() : t.ended.c_str());
    std::fflush(stdout);
    return t.Good() ? kExitGood : kExitCheckFailed;
}

}  // namespace zolhost
