// ping and drive.
#include "host/cli/commands.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "host/base/text.h"
#include "host/base/latency_stats.h"
#include "host/base/system.h"
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

int RunDrive(Channel& link, const DriveConfig& o) {
    constexpr int kGiveUpAfter = 5;  // timeouts in a row: the device is not there
    const bool live = IsTerminal(stdout);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o.rate));
    ReplyReader reader(link);
    std::uint64_t sent = 0, answered = 0, bad = 0, timeouts = 0, stray = 0;
    bool missing = false;
    int inARow = 0;
    double last = -1;
    std::string ended = "interrupted";
    auto lastShown = Clock::time_point{};
    auto line = [&] {
        char b[200];
        std::snprintf(b, sizeof b,
                      "sent %" PRIu64 ", answered %" PRIu64 ", bad %" PRIu64 ", timeouts %" PRIu64
                      ", last round trip %s",
                      sent, answered, bad, timeouts, last < 0 ? "-" : FormatMicros(last).c_str());
        return std::string(b);
    };
    std::fprintf(stderr, "zolhost: driving %s at %g requests/s; Ctrl-C to stop\n", link.Name().c_str(), o.rate);
    auto next = Clock::now();
    for (;;) {
        if (StopRequested()) {
            break;
        }
        if (o.count != 0 && sent >= o.count) {
            ended = "count reached";
            break;
        }
        stray += reader.DiscardPending();  // late replies, or bytes nobody asked for
        const auto seq = sent;
        const RequestFrame req = MakeRequest(static_cast<std::uint8_t>(seq), static_cast<std::uint8_t>(seq >> 8),
                                             static_cast<std::uint8_t>(seq >> 16), static_cast<std::uint8_t>(~seq));
        const auto t0 = Clock::now();
        if (!link.Send(req.data(), req.size())) {
            ended = link.Error();
            missing = true;
            break;
        }
        ++sent;
        ReplyFrame reply{};
        const Io r = reader.Next(&reply, t0 + std::chrono::milliseconds(o.timeoutMs));
        stray += reader.TakeNoise();
        if (r == Io::Done) {
            last = MicrosSince(t0);
            inARow = 0;
            if (CheckReply(reply.data(), req[1]) == ReplyFault::None) {
                ++answered;
            } else {
                ++bad;
                stray += reader.DiscardPending();
            }
        } else if (r == Io::Timeout) {
            ++timeouts;
            if (++inARow >= kGiveUpAfter) {
                ended = "no reply to " + std::to_string(kGiveUpAfter) + " requests in a row: " + link.Name() +
                        " is not answering";
                break;
            }
        } else if (r == Io::Stopped) {
            --sent;  // interrupted while waiting: this request's reply was not awaited
            break;
        } else {
            missing = true;
            ended = r == Io::HungUp ? "the program at " + link.Name() + " closed it" : link.Error();
            break;
        }
        if (live && Clock::now() - lastShown >= std::chrono::milliseconds(100)) {
            std::printf("\r%s   ", line().c_str());
            std::fflush(stdout);
            lastShown = Clock::now();
        }
        next += period;
        const auto now = Clock::now();
        if (next < now) {
            next = now;  // behind: no burst to catch up
        } else if (!SleepUnlessStopped(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next - now).count()))) {
            break;
        }
        // Between requests the device end may have left: a hang-up shows at once.
        std::vector<std::uint8_t> late;
        if (link.Receive(&late, Clock::now()) == Io::HungUp) {
            ended = "the program at " + link.Name() + " closed it";
            break;
        }
        stray += late.size();
    }
    if (live) {
        std::printf("\r%s   \n", line().c_str());
    }
    std::printf("drive: %s%s; %s\n", line().c_str(),
                stray > 0 ? (", " + std::to_string(stray) + " unexpected bytes").c_str() : "",
                missing ? (ended + ", with a reply outstanding").c_str() : ended.c_str());
    std::fflush(stdout);
    return bad == 0 && timeouts == 0 && stray == 0 && !missing && answered == sent ? kExitGood : kExitCheckFailed;
}

}  // namespace zolhost
