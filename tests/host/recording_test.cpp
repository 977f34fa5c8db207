// A capture read back for replay, as a file someone passed around: what PcapWriter
// wrote is taken, anything damaged, cut, out of range or empty is refused with
// where and why, and nothing is read outside the file's bytes (ASan watches).
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "host/capture/pcap_writer.h"
#include "host/replay/recording.h"
#include "host/replay/replay_ends.h"
#include "host/stages/fault_plan.h"
#include "protocol/frame_rules.h"

namespace {

using namespace zolhost;
using Bytes = std::vector<std::uint8_t>;

const Bytes kRequest = [] {
    const RequestFrame r = MakeRequest(0x42);
    return Bytes(r.begin(), r.end());
}();
const Bytes kReply = [] {
    const ReplyFrame r = MakeReply(ReplyEa(0x42));
    return Bytes(r.begin(), r.end());
}();
const std::string kGoodTag = "zol-link 2 pace=115200 drop=10 corrupt=0 delay=0-0 split=-1 seed=7 mismatch=garble";

struct Packet {
    std::uint64_t us;
    bool toDevice;
    Bytes bytes;
    std::string note = {};  // with no bytes: a note on the line, as the link writes one
};

// A capture as zolhost link writes one, with these header comments and packets.
std::string Capture(const std::string& name, const std::vector<std::string>& header,
                    const std::vector<Packet>& packets = {{1000, true, kRequest}, {1500, false, kReply}}) {
    const std::string path = testing::TempDir() + name;
    PcapWriter w;
    std::string error;
    EXPECT_TRUE(w.Open(path, &error, header)) << error;
    for (const Packet& p : packets) {
        const auto d = p.toDevice ? PcapWriter::Direction::HostToDevice : PcapWriter::Direction::DeviceToHost;
        if (p.bytes.empty()) {
            w.Note(d, p.us, p.note);
        } else {
            w.Packet(d, p.us, p.bytes.data(), p.bytes.size(), "");
        }
    }
    w.Close();
    return path;
}

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void Put(const std::string& path, const Bytes& b) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(b.data()),
                                                                  static_cast<std::streamsize>(b.size()));
}

// The reader's verdict: empty when it takes the capture, else its error.
std::string Refusal(const std::string& path) {
    Recording r;
    std::string error;
    return ReadRecording(path, &r, &error) ? std::string() : error;
}

// The header's link options pass the checks the command line makes of the same
// values; a damaged option is called damaged, not old.
TEST(Recording, HeaderLinkOptionsPassTheCommandLinesChecks) {
    const std::string path = Capture("options.pcapng", {kGoodTag});
    Recording r;
    std::string error;
    ASSERT_TRUE(ReadRecording(path, &r, &error)) << error;
    EXPECT_EQ(r.relay.faults.dropPct, 10);
    EXPECT_EQ(r.relay.seed, 7u);
    for (const std::string bad :
         {"delay=5-4", "delay=-2147483648-2147483647", "delay=0-2147483647", "drop=500", "corrupt=-5", "pace=-1",
          "pace=1", "split=4294967296", "split=-2", "drop=nan", "drop=10junk", "seed=-1", "mismatch=maybe"}) {
        const std::string key = bad.substr(0, bad.find('='));
        std::string tag = kGoodTag;
        const std::size_t at = tag.find(" " + key + "=") + 1;
        tag.replace(at, tag.find(' ', at) == std::string::npos ? std::string::npos : tag.find(' ', at) - at, bad);
        const std::string why = Refusal(Capture("options.pcapng", {tag}));
        EXPECT_NE(why.find("damaged link options: " + bad), std::string::npos) << tag << ": " << why;
        EXPECT_EQ(why.find("from before replay"), std::string::npos) << why;
    }
    for (const std::string& tag : {kGoodTag + " drop=5", kGoodTag.substr(0, kGoodTag.find(" seed")),
                                   kGoodTag + " extra=1", std::string("zol-link two pace=0")}) {
        EXPECT_NE(Refusal(Capture("options.pcapng", {tag})).find("link options"), std::string::npos) << tag;
    }
    EXPECT_NE(Refusal(Capture("options.pcapng", {"drop=50 corrupt=60", "zol-link 2 pace=0 drop=50 corrupt=60 delay=0-0 "
                                                                         "split=-1 seed=1 mismatch=warn"}))
                  .find("together at most 100%"),
              std::string::npos);
    std::remove(path.c_str());
}

// The notes of a steered session (its faults and pace changed, the device frozen,
// its host end unplugged) read back as written; a damaged one is no change at all.
TEST(Recording, SteeringTagsReadBackAsWrittenAndNothingElseReads) {
    for (const std::string good : {"zol-faults from=3 pace=9600 drop=10 corrupt=0 delay=0-5 split=-1",
                                   "zol-faults from=0 pace=0 drop=0 corrupt=100 delay=0-0 split=2"}) {
        FaultChangeAt c;
        ASSERT_TRUE(ParseFaultChangeTag(good, &c)) << good;
        EXPECT_EQ(FaultChangeTag(c), good);
    }
    FaultChangeAt older;  // written before the pace could change: it stays
    ASSERT_TRUE(ParseFaultChangeTag("zol-faults from=3 drop=10 corrupt=0 delay=0-5 split=-1", &older));
    EXPECT_FALSE(older.paceBaud.has_value());
    for (const std::string bad : {"zol-faults from=3 pace=1 drop=10 corrupt=0 delay=0-5 split=-1",
                                  "zol-faults from=3 pace=-9600 drop=10 corrupt=0 delay=0-5 split=-1",
                                  "zol-faults from=3 pace=9600", "zol-faults from=3", "zol-faults from=x pace=0 drop=0 corrupt=0 delay=0-0 split=-1",
                                  "zol-faults from=3 pace=0 drop=60 corrupt=60 delay=0-0 split=-1",
                                  "zol-faults from=3 pace=0 drop=0 corrupt=0 delay=0-0 split=-1 more"}) {
        FaultChangeAt c;
        EXPECT_FALSE(ParseFaultChangeTag(bad, &c)) << bad;
    }
    for (const std::string good : {"zol-steer freeze from=2 taken=14 delivered=18", "zol-steer thaw from=0 taken=0 delivered=0",
                                   "zol-steer unplug from=18446744073709551615 taken=1 delivered=2",
                                   "zol-steer plug from=2 taken=21 delivered=18"}) {
        SteerChangeAt c;
        ASSERT_TRUE(ParseSteerChangeTag(good, &c)) << good;
        EXPECT_EQ(SteerChangeTag(c), good);
    }
    for (const std::string bad : {"zol-steer melt from=2 taken=14 delivered=18", "zol-steer freeze from=2 taken=14",
                                  "zol-steer freeze taken=14 from=2 delivered=18", "zol-steer freeze from=-2 taken=14 delivered=18",
                                  "zol-steer freeze from=2 taken=14 delivered=18 more", "zol-steer freeze from=2 taken=1e3 delivered=18",
                                  "device frozen", ""}) {
        SteerChangeAt c;
        EXPECT_FALSE(ParseSteerChangeTag(bad, &c)) << bad;
    }
}

// A steered change whose tag cannot be read (faults the rule refuses, a damaged
// tag) is refused, naming the tag and its frame: replayed without it, the session
// would not be the one recorded. Other notes are no changes.
TEST(Recording, AChangeWhoseTagCannotBeReadIsRefusedNamingItAndItsFrame) {
    for (const std::string tag : {"zol-faults from=1 pace=0 drop=60 corrupt=60 delay=0-0 split=-1",
                                  "zol-faults from=1 pace=0 drop=10", "zol-faults", "zol-steer unplug from=1 taken=7",
                                  "zol-steer melt from=1 taken=7 delivered=9", "zol-steer"}) {
        const std::string why = Refusal(Capture("tagged.pcapng", {kGoodTag},
                                                {{1000, true, kRequest}, {1500, false, kReply}, {2000, false, {}, tag},
                                                 {3000, true, kRequest}, {3500, false, kReply}}));
        EXPECT_NE(why.find("frame 3: its tag \"" + tag + "\" cannot be read"), std::string::npos) << why;
        if (tag.find("drop=60") != std::string::npos) {
            EXPECT_NE(why.find("(drop and corrupt share the replies: together at most 100%)"), std::string::npos) << why;
        }
    }
    for (const std::string note : {"zol-faultsy", "device 0 unplugged", "host set 9600 8N1"}) {
        EXPECT_EQ(Refusal(Capture("tagged.pcapng", {kGoodTag}, {{1000, true, kRequest}, {1500, false, {}, note}})), "")
            << note;
    }
    std::remove((testing::TempDir() + "tagged.pcapng").c_str());
}

// A freeze and a thaw exactly at requests' boundaries: the request after the
// freeze is the one the device never heard, the one after the thaw it heard again.
TEST(Recording, AFreezeAtARequestsBoundaryTakesThatRequestFromTheDevice) {
    const auto request = [](std::uint8_t d1) {
        const RequestFrame f = MakeRequest(d1);
        return Bytes(f.begin(), f.end());
    };
    const Bytes second = request(0x43);
    const Bytes third = request(0x44);
    const std::string path = Capture(
        "boundary.pcapng", {kGoodTag},
        {{1000, true, kRequest}, {1500, false, kReply},
         {2000, true, {}, "zol-steer freeze from=1 taken=" + std::to_string(kRequestSize) + " delivered=9"},
         {3000, true, second},
         {4000, true, {}, "zol-steer thaw from=1 taken=" + std::to_string(2 * kRequestSize) + " delivered=9"},
         {5000, true, third}, {5500, false, kReply}});
    Recording r;
    std::string error;
    ASSERT_TRUE(ReadRecording(path, &r, &error)) << error;
    std::remove(path.c_str());
    ASSERT_EQ(r.relay.steerChanges.size(), 2u);
    EXPECT_EQ(Exchanges(r).size(), 3u);  // as the host sent them
    const std::vector<Exchange> heard = Exchanges(r, true);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(Bytes(heard[0].request->bytes.begin(), heard[0].request->bytes.end()), kRequest);
    EXPECT_EQ(heard[0].AnswerBytes(), kReplySize);  // its reply; the frozen request among its answers is no reply
    EXPECT_EQ(Bytes(heard[1].request->bytes.begin(), heard[1].request->bytes.end()), third);
}

// With --on-deviation answer, a host program that sends one request unlike the
// recording's is answered by the frame rules, and when it follows the recording
// again, from the recording again.
TEST(Recording, AfterOneDeviationTheRecordedDeviceAnswersFromTheRecordingAgain) {
    // Recorded replies no frame rule gives (EA not the complement): heard, they
    // can only have come from the recording.
    const auto recorded = [](std::uint8_t ea) {
        const ReplyFrame f = MakeReply(ea);
        return Bytes(f.begin(), f.end());
    };
    const auto request = [](std::uint8_t d1) {
        const RequestFrame f = MakeRequest(d1);
        return Bytes(f.begin(), f.end());
    };
    const std::string path = Capture("deviation.pcapng", {kGoodTag},
                                     {{1000, true, request(1)}, {1100, false, recorded(0x51)},
                                      {2000, true, request(2)}, {2100, false, recorded(0x52)},
                                      {3000, true, request(3)}, {3100, false, recorded(0x53)}});
    Recording r;
    std::string error;
    ASSERT_TRUE(ReadRecording(path, &r, &error)) << error;
    std::remove(path.c_str());
    RecordedDevice device(r, false, Clock::now());
    Bytes heard;
    for (const std::uint8_t d1 : {1, 0x77, 3}) {
        const Bytes q = request(d1);
        std::size_t taken = 0;
        ASSERT_EQ(device.Write(q.data(), q.size(), &taken), Io::Done);
        const auto until = Clock::now() + std::chrono::seconds(5);
        for (std::size_t want = heard.size() + kReplySize; heard.size() < want && Clock::now() < until;) {
            std::uint8_t b[64];
            std::size_t got = 0;
            if (device.Read(b, sizeof b, &got) == Io::Done) {
                heard.insert(heard.end(), b, b + got);
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    }
    const ReplyFrame byRules = MakeReply(ReplyEa(0x77));
    Bytes want = recorded(0x51);
    want.insert(want.end(), byRules.begin(), byRules.end());
    const Bytes third = recorded(0x53);
    want.insert(want.end(), third.begin(), third.end());
    EXPECT_EQ(heard, want);
    EXPECT_EQ(device.Matched(), 2u);
    EXPECT_EQ(device.Deviations(), 1u);
    EXPECT_FALSE(device.Stopped());
}

// A file that is no whole capture: refused, saying where, never read past its end.
TEST(Recording, DamagedCutOrEmptyCapturesAreRefusedSayingWhere) {
    const std::string path = Capture("cut.pcapng", {kGoodTag});
    const Bytes whole = FileBytes(path);
    // The block boundaries: a cut there leaves a shorter capture, anywhere else a cut block.
    std::vector<std::size_t> ends;
    for (std::size_t at = 0; at + 8 <= whole.size(); at += whole[at + 4] | whole[at + 5] << 8) {
        ends.push_back(at + (whole[at + 4] | whole[at + 5] << 8));
    }
    ASSERT_EQ(ends.size(), 4u);  // header, interface, two packets
    ASSERT_EQ(ends.back(), whole.size());
    for (std::size_t n = 0; n < whole.size(); ++n) {
        Put(path, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)));
        const std::string why = Refusal(path);
        if (n == ends[2]) {
            EXPECT_EQ(why, "") << "one whole packet";
        } else if (n == ends[0] || n == ends[1]) {
            EXPECT_NE(why.find("holds no packets"), std::string::npos) << n << ": " << why;
        } else {
            EXPECT_NE(why, "") << "cut at " << n;
            EXPECT_TRUE(n < 28 || why.find(": byte ") != std::string::npos) << n << ": " << why;
        }
    }
    // A packet block too short to hold a packet, at the end of the file.
    for (std::uint8_t len : {12, 16, 20, 28}) {
        Bytes b = whole;
        const Bytes block = {6, 0, 0, 0, len, 0, 0, 0};
        b.insert(b.end(), block.begin(), block.end());
        b.resize(b.size() + len - 12, 0);
        b.insert(b.end(), {len, 0, 0, 0});
        Put(path, b);
        EXPECT_NE(Refusal(path).find("byte " + std::to_string(whole.size()) + ": frame 3: "), std::string::npos)
            << int{len} << ": " << Refusal(path);
    }
    // A header whose option runs past it; a packet with no direction.
    Bytes b = whole;
    b[24 + 2] = 0xFF;
    Put(path, b);
    EXPECT_NE(Refusal(path).find("header is damaged"), std::string::npos) << Refusal(path);
    b = whole;
    b[ends[2] - 12] = 0;  // the flags word of the first packet
    Put(path, b);
    EXPECT_NE(Refusal(path).find("frame 1: it has no direction"), std::string::npos) << Refusal(path);

    EXPECT_NE(Refusal(testing::TempDir()).find("Is a directory"), std::string::npos) << Refusal(testing::TempDir());
    EXPECT_NE(Refusal("/nope.pcapng").find("cannot read /nope.pcapng: No such file"), std::string::npos);
    EXPECT_NE(Refusal("/dev/zero").find("/dev/zero: byte 0: a damaged block"), std::string::npos) << Refusal("/dev/zero");
    std::remove(path.c_str());
}

// Times as a capture may hold them: far from the epoch is fine, backwards or
// further apart than any session is refused, never overflowed.
TEST(Recording, TimesBackwardsOrBeyondAnySessionAreRefused) {
    const std::uint64_t far = std::uint64_t{1} << 62;
    Recording r;
    std::string error;
    ASSERT_TRUE(ReadRecording(Capture("times.pcapng", {kGoodTag}, {{far, true, kRequest}, {far + 7, false, kReply}}),
                              &r, &error))
        << error;
    EXPECT_EQ(r.items.back().atUs, 7);
    EXPECT_NE(Refusal(Capture("times.pcapng", {kGoodTag}, {{2000, true, kRequest}, {1000, false, kReply}}))
                  .find("frame 2: its time is before"),
              std::string::npos);
    for (const std::uint64_t late : {far, std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
        EXPECT_NE(Refusal(Capture("times.pcapng", {kGoodTag}, {{0, true, kRequest}, {late, false, kReply}}))
                      .find("frame 2: it is more than a year after the first packet"),
                  std::string::npos);
    }
    std::remove((testing::TempDir() + "times.pcapng").c_str());
}

// A capture bigger than the store's chunks read back: every packet keeps its own
// bytes and the link's words on it (a reply's tag is no such words) once the rest
// is read and the recording moved, and the exchanges hold each request's answers.
TEST(Recording, EveryPacketOfABigCaptureKeepsItsBytesWordsAndAnswers) {
    const std::string path = testing::TempDir() + "big.pcapng";
    PcapWriter w;
    std::string error;
    ASSERT_TRUE(w.Open(path, &error, {kGoodTag})) << error;
    const auto pattern = [](std::size_t i) {
        Bytes b(40000);  // 40 of them: more than a chunk
        for (std::size_t j = 0; j < b.size(); ++j) {
            b[j] = static_cast<std::uint8_t>(i * 7 + j);
        }
        return b;
    };
    const auto to = PcapWriter::Direction::HostToDevice;
    const auto from = PcapWriter::Direction::DeviceToHost;
    w.Packet(from, 100, kReply.data(), kReply.size(), "before");
    for (std::size_t i = 0; i < 40; ++i) {
        const Bytes request = pattern(i);
        const std::uint64_t at = 1000 * (i + 1);
        w.Packet(to, at, request.data(), request.size(), "request " + std::to_string(i));
        w.Packet(from, at + 10, kReply.data(), kReply.size(), "", ReplyTag(i, ReplyFaults{}));
        if (i % 2 == 1) {
            w.Packet(from, at + 20, kRequest.data(), 3, "more");
        }
    }
    w.Close();
    Recording read;
    ASSERT_TRUE(ReadRecording(path, &read, &error)) << error;
    const Recording r = std::move(read);
    ASSERT_EQ(r.items.size(), 101u);
    const std::vector<Exchange> exchanges = Exchanges(r);
    ASSERT_EQ(exchanges.size(), 41u);
    EXPECT_EQ(exchanges[0].request, nullptr);
    ASSERT_EQ(exchanges[0].answers.size(), 1u);
    EXPECT_EQ(exchanges[0].answers[0].Comment(), "before");
    std::uint32_t frame = 2;
    for (std::size_t i = 0; i < 40; ++i) {
        const Exchange& e = exchanges[i + 1];
        ASSERT_NE(e.request, nullptr);
        EXPECT_EQ(e.request->frame, frame) << i;
        EXPECT_EQ(Bytes(e.request->bytes.begin(), e.request->bytes.end()), pattern(i)) << i;
        EXPECT_EQ(e.request->Comment(), "request " + std::to_string(i));
        ASSERT_EQ(e.answers.size(), i % 2 == 1 ? 2u : 1u) << i;
        EXPECT_EQ(Bytes(e.answers[0].bytes.begin(), e.answers[0].bytes.end()), kReply) << i;
        EXPECT_EQ(e.answers[0].Comment(), "") << i;
        EXPECT_EQ(e.AfterUs(e.answers.back()), i % 2 == 1 ? 20 : 10) << i;
        EXPECT_EQ(e.AnswerBytes(), i % 2 == 1 ? kReply.size() + 3 : kReply.size()) << i;
        frame += static_cast<std::uint32_t>(1 + e.answers.size());
    }
    std::remove(path.c_str());
}

// A replay with --fast of requests the recording holds no replies to: a reply the
// device begins is heard to its end however long it pauses within it (up to the
// timeout), and said whole, with the request it answers; the next request goes
// once the device has been quiet after it.
TEST(Recording, AFastReplayHearsAnUnrecordedReplyToItsEnd) {
    const std::string path = Capture("unanswered.pcapng", {kGoodTag},
                                     {{1000, true, kRequest}, {11000, true, kRequest}, {21000, true, kRequest}});
    Recording r;
    std::string error;
    ASSERT_TRUE(ReadRecording(path, &r, &error)) << error;
    ReplayHost host(r, true, 1000, 0);
    const auto sent = [&host] {  // what the replay has sent the device by now
        Bytes b(64);
        std::size_t got = 0;
        host.Read(b.data(), b.size(), &got);
        b.resize(got);
        return b;
    };
    const auto answer = [&host](const std::uint8_t* p, std::size_t n) {
        std::size_t taken = 0;
        host.Write(p, n, &taken);
        EXPECT_EQ(taken, n);
    };
    ASSERT_EQ(host.Reopen(), Io::Done);
    ASSERT_EQ(sent(), kRequest);
    answer(kReply.data(), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // far past the device's usual silence
    EXPECT_TRUE(sent().empty()) << "the next request went in the middle of a reply";
    answer(kReply.data() + 4, kReply.size() - 4);
    Bytes next;
    for (int i = 0; i < 1000 && next.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        next = sent();
    }
    ASSERT_EQ(next, kRequest);
    answer(kReply.data(), kReply.size());
    for (int i = 0; i < 1000 && !host.Finished(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        sent();
    }
    ASSERT_TRUE(host.Finished());
    const auto& d = host.Differences();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].frame, 1u);
    EXPECT_EQ(d[0].got, kReply);
    EXPECT_EQ(d[1].frame, 2u);
    EXPECT_EQ(d[1].got, kReply);
    std::remove(path.c_str());
}

}  // namespace
