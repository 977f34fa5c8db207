// The link between two in-memory endpoints, on a clock of the test's own: a host
// program and a device that the test plays, every pass of the link at a time the
// test chooses. No ptys, no waiting.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "host/base/text.h"
#include "host/link/link.h"
#include "host/replay/recording.h"
#include "host/stages/uart_model.h"
#include "host/transport/builtin_device.h"
#include "host/transport/memory_endpoint.h"
#include "protocol/frame_rules.h"

namespace {

using namespace zolhost;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes Request(std::uint8_t d1) {
    const RequestFrame r = MakeRequest(d1);
    return Bytes(r.begin(), r.end());
}

Bytes Reply(std::uint8_t d1) {
    const ReplyFrame r = MakeReply(ReplyEa(d1));
    return Bytes(r.begin(), r.end());
}

// A link over two in-memory ends, both open, and a device that answers every
// request it receives at once.
struct Rig {
    explicit Rig(const RelayConfig& config, bool trace = false) : record(trace), link(host, device, config, record) {
        link.SetClock([this] { return now; });
        link.TryOpen(link.End(Side::Host), now);
        link.TryOpen(link.End(Side::Device), now);
    }
    // One pass of the link at now + step; the device answers what it has received.
    void Step(Clock::duration step = 10us) {
        now += step;
        link.Pass(now);
        for (const Side s : {Side::Host, Side::Device}) {
            link.Handle(s, EndSeen{true, true}, now);
        }
        link.TakeNotes(now);
        const Bytes got = device.ProgramReceives();
        atDevice.insert(atDevice.end(), got.begin(), got.end());
        while (answer && atDevice.size() >= kRequestSize) {
            device.ProgramSends(Reply(atDevice[1]));
            atDevice.erase(atDevice.begin(), atDevice.begin() + kRequestSize);
        }
        for (const std::uint8_t b : hostReads ? host.ProgramReceives() : Bytes()) {
            atHost.push_back(b);
            atHostWhen.push_back(now);
        }
    }
    void RunFor(Clock::duration d, Clock::duration step = 10us) {
        for (const auto end = now + d; now < end;) {
            Step(step);
        }
    }

    MemoryEndpoint host{"host"};
    MemoryEndpoint device{"device"};
    Clock::time_point now = Clock::time_point{} + 1s;
    LinkRecord record;
    Link link;
    bool answer = true;     // the device answers
    bool hostReads = true;  // the host program takes what reaches its end
    Bytes atDevice;      // received by the device, not answered yet
    Bytes atHost;    // received by the host program
    std::vector<Clock::time_point> atHostWhen;
};

// Paced at 115200, every byte of a request and of its reply reaches the far end
// one byte time after the one before it, within a byte time (and the test's step).
TEST(Link, PacedAt115200EachByteArrivesOneByteTimeAfterTheLast) {
    RelayConfig config;
    config.paceBaud = 115200;
    Rig rig(config);
    const auto byteTime = ByteTime(115200);
    rig.Step();
    const Clock::time_point sent = rig.now;
    rig.host.ProgramSends(Request(0x5A));
    rig.RunFor(5ms, 1us);
    ASSERT_EQ(rig.atHost, Reply(0x5A));
    // The request is through after 7 byte times, the reply's bytes follow one by one.
    for (std::size_t i = 0; i < rig.atHost.size(); ++i) {
        const auto due = sent + byteTime * (kRequestSize + i + 1);
        EXPECT_GE(rig.atHostWhen[i], due) << "byte " << i;
        EXPECT_LT(rig.atHostWhen[i], due + byteTime) << "byte " << i;
    }
    // Bytes read after the pass began (the end opened first, other links came
    // first) are paced from the read, not from the pass's start.
    rig.link.SetClock([&rig] { return rig.now + 300us; });
    rig.atHost.clear();
    rig.atHostWhen.clear();
    const Clock::time_point again = rig.now;
    rig.host.ProgramSends(Request(0x5B));
    rig.RunFor(5ms, 1us);
    ASSERT_EQ(rig.atHost, Reply(0x5B));
    EXPECT_GE(rig.atHostWhen.front(), again + 300us + byteTime * (kRequestSize + 1));
}

// Each fault follows from the seed and the reply's number: the host program gets
// exactly the replies the plan lets through, changed where it corrupts them, each
// no sooner than its delay, and the summary counts what the plan says.
TEST(Link, FaultsFollowTheirSeed) {
    RelayConfig config;
    config.faults.dropPct = 20;
    config.faults.corruptPct = 20;
    config.faults.delayMinMs = 0;
    config.faults.delayMaxMs = 3;
    config.faults.splitGapMs = 1;
    config.seed = 7;
    Rig rig(config);
    const FaultPlan plan(config.faults, config.seed);
    Bytes want;
    LinkTally planned;
    for (std::uint8_t i = 0; i < 60; ++i) {
        rig.host.ProgramSends(Request(i));
        const auto asked = rig.now;
        rig.RunFor(8ms);
        const ReplyFaults f = plan.For(i);
        Bytes reply = Reply(i);
        if (f.drop) {
            ++planned.dropped;
            continue;
        }
        ApplyCorruption(f, reply.data());
        planned.corrupted += f.Corrupted() ? 1 : 0;
        want.insert(want.end(), reply.begin(), reply.end());
        ASSERT_EQ(rig.atHost.size(), want.size()) << "reply " << int{i};
        EXPECT_GE(rig.atHostWhen.back() - asked, std::chrono::milliseconds(f.delayMs)) << "reply " << int{i};
    }
    EXPECT_EQ(rig.atHost, want);
    const LinkTally& t = rig.record.Tally();
    EXPECT_EQ(t.replies, 60u);
    EXPECT_EQ(t.dropped, planned.dropped);
    EXPECT_EQ(t.corrupted, planned.corrupted);
    EXPECT_EQ(t.split, 60u - planned.dropped);
    EXPECT_GT(planned.dropped, 0u);
    EXPECT_GT(planned.corrupted, 0u);
}

// While the host program's line differs from the device's, the device takes the
// request as its UART would from that line; once the program sets the device's
// line again, bytes pass unchanged. Only warned of, they pass unchanged but counted.
TEST(Link, GarblesWhileTheHostLineDiffers) {
    for (const bool warnOnly : {false, true}) {
        SCOPED_TRACE(warnOnly ? "warn only" : "garble");
        RelayConfig config;
        config.mismatchWarn = warnOnly;
        Rig rig(config);
        rig.answer = false;
        LineSettings slow = kDeviceLine;
        slow.baud = 9600;
        rig.host.ProgramSets(slow);
        rig.Step();
        const Bytes request = Request(0x33);
        rig.host.ProgramSends(request);
        rig.Step();
        rig.Step();
        const Bytes garbled = UartReceive(slow, kDeviceLine, request.data(), request.size());
        EXPECT_EQ(rig.atDevice, warnOnly ? request : garbled);
        rig.atDevice.clear();
        EXPECT_EQ(rig.link.Relayed().Garbling().Toward(true).crossed, request.size());

        rig.host.ProgramSets(kDeviceLine);
        rig.Step();
        rig.host.ProgramSends(request);
        rig.Step();
        rig.Step();
        EXPECT_EQ(rig.atDevice, request);
        EXPECT_EQ(rig.record.Tally().host.settings, 2u);
    }
}

// The packets of a pcapng file: each enhanced packet block's bytes and comment.
std::vector<std::pair<Bytes, std::string>> Packets(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const Bytes f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto u32 = [&f](std::size_t at) { return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | std::uint32_t{f[at + 3]} << 24; };
    std::vector<std::pair<Bytes, std::string>> out;
    for (std::size_t at = 0; at + 12 <= f.size(); at += u32(at + 4)) {
        if (u32(at) != 6) {
            continue;  // not an enhanced packet block
        }
        const std::uint32_t n = u32(at + 20);
        Bytes data(f.begin() + static_cast<long>(at + 28), f.begin() + static_cast<long>(at + 28 + n));
        std::string comment;
        for (std::size_t o = at + 28 + (n + 3) / 4 * 4; f[o] | f[o + 1] << 8;) {
            const std::size_t len = f[o + 2] | f[o + 3] << 8;
            if ((f[o] | f[o + 1] << 8) == 1 && comment.empty()) {  // the first comment: what the link did
                comment.assign(f.begin() + static_cast<long>(o + 4), f.begin() + static_cast<long>(o + 4 + len));
            }
            o += 4 + (len + 3) / 4 * 4;
        }
        out.emplace_back(std::move(data), comment);
    }
    return out;
}

// A corrupted reply: its trace line shows the bytes the device sent and what the
// link did; its capture packet holds the bytes the host got, with the same words.
TEST(Link, TraceLineAndCapturePacketOfAFrameAgree) {
    RelayConfig config;
    config.faults.corruptPct = 100;
    config.seed = 3;
    const std::string capture = testing::TempDir() + "link_test.pcapng";
    testing::internal::CaptureStderr();
    {
        Rig rig(config, true);
        std::string error;
        ASSERT_TRUE(rig.record.OpenCapture(capture, &error)) << error;
        rig.host.ProgramSends(Request(0x42));
        rig.RunFor(2ms);
        rig.record.Flush();
        ASSERT_EQ(rig.atHost.size(), kReplySize);
        const Bytes got = rig.atHost;
        const auto packets = Packets(capture);
        ASSERT_EQ(packets.size(), 2u);  // the request, the reply
        EXPECT_EQ(packets[1].first, got);
        const std::string trace = testing::internal::GetCapturedStderr();
        const std::string line = "< " + Hex(Reply(0x42).data(), kReplySize);
        const std::size_t at = trace.find(line);
        ASSERT_NE(at, std::string::npos) << trace;
        const std::string rest = trace.substr(at, trace.find('\n', at) - at);
        ASSERT_FALSE(packets[1].second.empty());
        EXPECT_NE(rest.find(", " + packets[1].second), std::string::npos) << rest << " / " << packets[1].second;
        EXPECT_EQ(packets[1].second.rfind("corrupted (offset ", 0), 0u) << packets[1].second;
    }
    std::remove(capture.c_str());
}

// A capture keeps the link's configuration and each reply's faults for a replay:
// read back, they are what the link had, and the device's replies are as it sent
// them. A capture without them (from a zolhost before replay) is refused, saying why.
TEST(Link, ACaptureReadsBackAsTheSessionItRecorded) {
    RelayConfig config;
    config.paceBaud = 9600;
    config.faults.corruptPct = 100;
    config.faults.delayMinMs = 1;
    config.faults.delayMaxMs = 4;
    config.seed = 11;
    const std::string path = testing::TempDir() + "replay_test.pcapng";
    {
        Rig rig(config);
        std::string error;
        ASSERT_TRUE(rig.record.OpenCapture(path, &error, {"a person's words", RelayConfigTag(config)})) << error;
        rig.host.ProgramSends(Request(0x42));
        rig.RunFor(30ms);
    }
    Recording r;
    std::string error;
    ASSERT_TRUE(ReadRecording(path, &r, &error)) << error;
    EXPECT_EQ(RelayConfigTag(r.relay), RelayConfigTag(config));
    ASSERT_EQ(r.items.size(), 2u);
    EXPECT_EQ(Bytes(r.items[0].bytes.begin(), r.items[0].bytes.end()), Request(0x42));
    EXPECT_EQ(Bytes(r.items[1].bytes.begin(), r.items[1].bytes.end()), Reply(0x42));  // corrupted on the line, as sent here
    EXPECT_EQ(r.items[1].Comment().rfind("corrupted", 0), 0u);
    EXPECT_EQ(r.items[0].Comment(), "");

    PcapWriter old;
    ASSERT_TRUE(old.Open(path, &error));
    old.Close();
    EXPECT_FALSE(ReadRecording(path, &r, &error));
    EXPECT_NE(error.find("cannot be replayed: its header has no link options"), std::string::npos) << error;
    std::remove(path.c_str());
}

// Steered mid-session: a new pace holds from the next bytes on, a frozen device
// never gets what the host sends, and each change is kept at its place. A replay
// whose host sends the whole session at once meets them at the same bytes and
// replies: the frozen request is taken and lost, the pace changes at the same
// reply, and the unplug and plug are handed out once the link is there (the plug
// no sooner than as long after the unplug as then; the unplug not before the
// host has read what it was given, nor before that could show).
TEST(Link, SteeringIsKeptAtItsPlaceAndMadeAgainThereOnReplay) {
    const std::string path = testing::TempDir() + "steered.pcapng";
    RelayConfig config;
    {
        Rig rig(config);
        std::string error;
        ASSERT_TRUE(rig.record.OpenCapture(path, &error, {RelayConfigTag(config)})) << error;
        Relay& relay = rig.link.Relayed();
        rig.host.ProgramSends(Request(1));
        rig.RunFor(2ms);
        relay.SetFaults(FaultSettings{}, 9600, rig.now);
        const auto asked = rig.now;
        rig.host.ProgramSends(Request(2));
        rig.RunFor(30ms, 50us);
        ASSERT_EQ(rig.atHost.size(), 2 * kReplySize);
        EXPECT_GE(rig.atHostWhen.back() - asked, ByteTime(9600) * (kRequestSize + kReplySize));
        relay.Freeze(true, rig.now);
        rig.host.ProgramSends(Request(3));
        rig.RunFor(30ms);
        EXPECT_EQ(rig.atHost.size(), 2 * kReplySize);  // taken, never answered
        relay.Freeze(false, rig.now);
        rig.link.Unplug(Side::Host, rig.now);
        rig.RunFor(5ms);
        rig.link.Plug(Side::Host, rig.host, rig.now);
        rig.link.TryOpen(rig.link.End(Side::Host), rig.now);
        rig.host.ProgramSends(Request(4));
        rig.RunFor(30ms);
        EXPECT_EQ(rig.atHost.size(), 3 * kReplySize);
    }
    Recording r;
    std::string error;
    ASSERT_TRUE(ReadRecording(path, &r, &error)) << error;
    std::remove(path.c_str());
    ASSERT_EQ(r.relay.faultChanges.size(), 1u);
    EXPECT_EQ(FaultChangeTag(r.relay.faultChanges[0]), "zol-faults from=1 pace=9600 drop=0 corrupt=0 delay=0-0 split=-1");
    std::vector<std::string> tags;
    for (const SteerChangeAt& c : r.relay.steerChanges) {
        tags.push_back(SteerChangeTag(c));
    }
    EXPECT_EQ(tags, (std::vector<std::string>{"zol-steer freeze from=2 taken=14 delivered=18",
                                              "zol-steer thaw from=2 taken=21 delivered=18",
                                              "zol-steer unplug from=2 taken=21 delivered=18",
                                              "zol-steer plug from=2 taken=21 delivered=18"}));
    EXPECT_GE(r.relay.steerChanges[3].afterUs, 5000);
    EXPECT_EQ(Exchanges(r, true).size(), Exchanges(r).size() - 1);  // the device never heard request 3

    // readsAfter: how long after the replay's start its host has read all it was given.
    for (const auto readsAfter : {0ms, 100ms}) {
        Rig replay(r.relay);
        Relay& relay = replay.link.Relayed();
        Bytes session;
        for (std::uint8_t d1 : {1, 2, 3, 4}) {
            const Bytes q = Request(d1);
            session.insert(session.end(), q.begin(), q.end());
        }
        replay.host.ProgramSends(session);
        std::vector<std::pair<SteerChangeAt::Kind, Clock::time_point>> handed;
        const auto hostReads = replay.now + readsAfter;
        const auto hostUnread = [&] { return replay.now < hostReads; };
        for (const auto end = replay.now + readsAfter + 80ms; replay.now < end;) {
            replay.Step(50us);
            if (const auto kind = relay.NextRecordedChange(replay.now, hostUnread)) {
                handed.emplace_back(*kind, replay.now);
            }
        }
        EXPECT_FALSE(relay.Frozen());
        EXPECT_EQ(relay.PaceBaud(), 9600u);
        Bytes want;
        for (std::uint8_t d1 : {1, 2, 4}) {
            const Bytes a = Reply(d1);
            want.insert(want.end(), a.begin(), a.end());
        }
        EXPECT_EQ(replay.atHost, want);
        ASSERT_EQ(handed.size(), 2u);
        EXPECT_EQ(handed[0].first, SteerChangeAt::Kind::Unplug);
        EXPECT_GE(handed[0].second, hostReads);
        EXPECT_GE(handed[0].second - replay.atHostWhen[2 * kReplySize - 1], std::chrono::milliseconds(Relay::kUnreadSettleMs));
        EXPECT_EQ(handed[1].first, SteerChangeAt::Kind::Plug);
        EXPECT_GE(handed[1].second - handed[0].second, std::chrono::microseconds(r.relay.steerChanges[3].afterUs));
    }
}

// A host program's purge empties only the direction it asks for, and counts what
// it dropped; bytes that fall due at an end that has left are counted lost.
TEST(Link, APurgeEmptiesOnlyItsDirectionAndBytesForAGoneEndCountAsLost) {
    RelayConfig config;
    config.paceBaud = 9600;  // about 1 ms a byte: both lines hold bytes for a while
    Rig rig(config);
    rig.answer = false;
    rig.host.ProgramSends(Request(0x01));
    rig.device.ProgramSends(Reply(0x01));
    rig.RunFor(2ms);
    rig.host.ProgramNotes({LineNote::Kind::Purge, "host purged its output", false, true});
    rig.RunFor(30ms);
    const Relay& relay = rig.link.Relayed();
    EXPECT_GT(relay.CountsToward(Side::Device).purged, 0u);
    EXPECT_EQ(relay.CountsToward(Side::Device).purged + rig.atDevice.size(), kRequestSize);
    EXPECT_EQ(relay.CountsToward(Side::Host).purged, 0u);
    EXPECT_EQ(rig.atHost, Reply(0x01));  // the other way, untouched

    rig.device.ProgramSends(Reply(0x02));
    rig.RunFor(3ms);
    rig.host.ProgramNotes({LineNote::Kind::Purge, "host purged its input", true, false});
    rig.RunFor(30ms);
    EXPECT_GT(relay.CountsToward(Side::Host).purged, 0u);
    EXPECT_EQ(relay.CountsToward(Side::Host).purged + rig.atHost.size(), 2 * kReplySize);

    rig.device.ProgramLeaves();
    rig.RunFor(1ms);
    rig.host.ProgramSends(Request(0x03));
    rig.RunFor(30ms);
    EXPECT_EQ(relay.CountsToward(Side::Device).lost, kRequestSize);
    EXPECT_EQ(relay.CountsToward(Side::Host).lost, 0u);
}


// A link to the built-in device, unpaced, driven as the link's own loop drives it:
// the host end tells when it is readable (it has a descriptor), the device end
// only through ReadyAt and RoomNow. Each turn passes the link at once when it says
// something is due, and otherwise only once the host has sent.
struct BuiltinRig {
    BuiltinRig() : record(false), link(host, device, RelayConfig{}, record) {
        link.SetClock([this] { return now; });
        link.TryOpen(link.End(Side::Host), now);
        link.TryOpen(link.End(Side::Device), now);
    }
    // One turn: true when the link had something to do now.
    bool Turn(bool hostSent) {
        now += 1us;
        const auto wake = link.NextWake([](Side s) { return s == Side::Host; });
        const bool due = wake && *wake <= now;
        if (!due && !hostSent) {
            return false;
        }
        link.Pass(now);
        link.Handle(Side::Host, EndSeen{true, hostReads}, now);
        if (hostReads) {
            const Bytes got = host.ProgramReceives();
            atHost.insert(atHost.end(), got.begin(), got.end());
        }
        return true;
    }
    MemoryEndpoint host{"host"};
    BuiltinDevice device{"built-in device"};
    Clock::time_point now = Clock::time_point{} + 1s;
    LinkRecord record;
    Link link;
    bool hostReads = true;  // the host program reads what comes (its end has room then)
    Bytes atHost;
};

Bytes Flood(int requests) {
    Bytes flood;
    for (int i = 0; i < requests; ++i) {
        const Bytes r = Request(static_cast<std::uint8_t>(i));
        flood.insert(flood.end(), r.begin(), r.end());
    }
    return flood;
}

void ExpectRepliesInOrder(const Bytes& got, int requests) {
    ASSERT_EQ(got.size(), static_cast<std::size_t>(requests) * kReplySize);
    for (int i = 0; i < requests; ++i) {
        const Bytes r = Reply(static_cast<std::uint8_t>(i));
        ASSERT_TRUE(std::equal(r.begin(), r.end(), got.begin() + static_cast<std::ptrdiff_t>(i) * kReplySize)) << i;
    }
}

// A host that floods an unpaced link in one write while it reads: the device
// takes what its input queue has room for, the link holds the rest back, and
// every request is answered; the link is passed only while it has work to do.
TEST(Link, AFloodOfAnUnpacedBuiltinDeviceLosesNoReply) {
    constexpr int kRequests = 5000;
    BuiltinRig rig;
    rig.host.ProgramSends(Flood(kRequests));
    bool sent = true;
    int turns = 0;
    while (rig.Turn(sent) && turns < 100000) {
        sent = false;
        ++turns;
    }
    ExpectRepliesInOrder(rig.atHost, kRequests);
    EXPECT_EQ(rig.device.Tally().refused, 0u);
    EXPECT_EQ(rig.record.Tally().goodRequests, static_cast<std::uint64_t>(kRequests));
    EXPECT_EQ(rig.link.Relayed().CountsToward(Side::Host).lost, 0u);
    EXPECT_LT(turns, 1000);  // a link that woke with nothing to do would use them all
}

// A host that floods and does not read: the line toward it fills, and the link
// leaves the host's bytes unread (its requests would only add replies with
// nowhere to go; it waits without a due time). Once the host reads again, every
// reply comes.
TEST(Link, ABuiltinDeviceHoldsAFloodingHostBackWhileItDoesNotRead) {
    constexpr int kRequests = 5000;
    BuiltinRig rig;
    rig.host.SetRoom(1000);
    rig.hostReads = false;
    rig.host.ProgramSends(Flood(kRequests));
    bool sent = true;
    for (int turns = 0; rig.Turn(sent) && turns < 100000; ++turns) {
        sent = false;
    }
    EXPECT_LT(rig.link.Relayed().CountsToward(Side::Device).bytes, kRequests * kRequestSize);
    EXPECT_EQ(rig.device.Tally().refused, 0u);
    rig.hostReads = true;
    sent = true;
    for (int turns = 0; rig.Turn(sent) && turns < 100000; ++turns) {
        sent = false;
    }
    ExpectRepliesInOrder(rig.atHost, kRequests);
}

// Once the link has read a full driver queue of the device, the replies held
// behind it are due at once: they come without another request from the host.
TEST(Link, HeldRepliesOfABuiltinDeviceAreDueOnceItsDriverQueueWasRead) {
    // One read of the host's end (4095 bytes): 5265 bytes of replies, a full
    // driver queue and 1169 held behind it.
    constexpr int kRequests = 585;
    BuiltinRig rig;
    rig.host.ProgramSends(Flood(kRequests));
    bool fullQueueRead = false;  // the link read exactly a driver queue, and more was behind it
    for (int turns = 0; rig.Turn(turns == 0) && turns < 100; ++turns) {
        fullQueueRead = fullQueueRead || (rig.link.Relayed().CountsToward(Side::Host).bytes == BuiltinDevice::kDriverQueue &&
                                          rig.device.Queued() > 0);
    }
    EXPECT_TRUE(fullQueueRead);
    ExpectRepliesInOrder(rig.atHost, kRequests);
    EXPECT_EQ(rig.device.Held(), 0u);
}

// A reply cut in two by a read, just as the line toward a host that reads slowly
// fills: the link stops reading the device, and the time it waits for room is not
// quiet on the device's line. The reply stays one reply however long the wait.
TEST(Link, AReplyCutByAReadStaysWholeWhileTheLinkWaitsForRoom) {
    constexpr int kReplies = 1000;
    Rig rig{RelayConfig{}};
    rig.answer = false;
    rig.host.SetRoom(1);  // the host takes a byte a pass
    for (int i = 0; i < kReplies; ++i) {
        rig.device.ProgramSends(Reply(static_cast<std::uint8_t>(i)));
    }
    rig.RunFor(20ms);
    rig.host.SetRoom(0);
    rig.RunFor(30ms);
    ExpectRepliesInOrder(rig.atHost, kReplies);
    EXPECT_EQ(rig.record.Tally().replies, static_cast<std::uint64_t>(kReplies));
}

}  // namespace

namespace {

// An unpaced device that answers every request at once, before a host that stops
// reading: the device is given requests only as far as the replies it has not been
// heard to say fit the output a device holds behind its port (zolemul refuses a
// reply past that),
// and every request is answered, in order, once the host reads again.
TEST(Link, AnUnpacedDeviceIsGivenOnlyTheRequestsWhoseRepliesItCanHold) {
    constexpr int kRequests = 3000;
    RelayConfig unpaced;
    unpaced.paceBaud = 0;
    Rig rig{unpaced};
    rig.host.SetRoom(1000);
    rig.hostReads = false;
    rig.host.ProgramSends(Flood(kRequests));
    rig.RunFor(10ms);
    // What the device said that the link has not read: its output backlog.
    const std::uint64_t said = rig.link.Relayed().CountsToward(Side::Device).bytes / kRequestSize * kReplySize;
    const std::uint64_t unread = said - rig.link.Relayed().CountsToward(Side::Host).bytes;
    EXPECT_GT(unread, 0u);
    EXPECT_LE(unread, 6144u + 4096u / kRequestSize * kReplySize) << said;  // the bound, and one write past it
    rig.hostReads = true;
    rig.RunFor(50ms);
    ExpectRepliesInOrder(rig.atHost, kRequests);
}

// A device that never answers is slowed, not stopped: all of a flood reaches it.
TEST(Link, AnUnpacedDeviceThatNeverAnswersIsGivenEveryRequest) {
    constexpr int kRequests = 3000;
    RelayConfig unpaced;
    unpaced.paceBaud = 0;
    Rig rig{unpaced};
    rig.answer = false;
    rig.host.ProgramSends(Flood(kRequests));
    rig.RunFor(300ms, 1ms);
    EXPECT_EQ(rig.link.Relayed().CountsToward(Side::Device).bytes, kRequests * kRequestSize);
}

}  // namespace
