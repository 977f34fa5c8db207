// The link's capture as Wireshark reads it: written by PcapWriter, read back by tshark
// with the dissector host/capture/zolemul.lua.
#include <gtest/gtest.h>

#include "host/capture/pcap_writer.h"
#include "protocol/frame_rules.h"
#include "tests/support/pty_link.h"
#include "tests/support/required.h"
#include "tests/support/tshark.h"

namespace {

using namespace zolhost;
using namespace testsupport;
using Dir = PcapWriter::Direction;

template <std::size_t N>
void Put(PcapWriter& w, Dir d, std::uint64_t at, const std::array<std::uint8_t, N>& f, const std::string& comment = "") {
    w.Packet(d, at, f.data(), f.size(), comment);
}

// Every kind of packet the link writes, each checked for what Wireshark makes of it:
// its direction, time, kind, D1 or EA, checksum, whether EA answers the request
// before it, a reply's data bytes 2-6 not all zero, and its comment.
TEST(PcapCapture, TsharkDecodesEveryKindOfPacketWithItsDirectionAndComment) {
    REQUIRE_DEPENDENCY(!TsharkPath().empty(), "tshark (Debian package tshark)");
    TempDir dir;
    const std::string file = dir / "link.pcapng";
    const std::uint64_t t0 = 1'700'000'000'000'000ull;

    PcapWriter w;
    std::string error;
    ASSERT_TRUE(w.Open(file, &error)) << error;
    Put(w, Dir::HostToDevice, t0 + 1, MakeRequest(0x42, 1, 2, 3));
    Put(w, Dir::DeviceToHost, t0 + 900, MakeReply(0xBD), "delayed 20 ms");
    Put(w, Dir::HostToDevice, t0 + 2000, MakeRequest(0x10));
    ReplyFrame bad = MakeReply(0xEF);
    bad[kReplySize - 1] ^= 0x01;
    Put(w, Dir::DeviceToHost, t0 + 3000, bad, "corrupted");
    Put(w, Dir::HostToDevice, t0 + 4000, MakeRequest(0x20));
    // A request with a bad checksum is dropped by the device: the reply answers 0x20.
    RequestFrame dropped = MakeRequest(0x77);
    dropped[kRequestSize - 1] ^= 0x80;
    Put(w, Dir::HostToDevice, t0 + 4500, dropped);
    Put(w, Dir::DeviceToHost, t0 + 5000, MakeReply(0x55));
    // A request's bytes coming from the device are noise there: the direction decides.
    Put(w, Dir::DeviceToHost, t0 + 6000, MakeRequest(0x33));
    const std::uint8_t partial[] = {kRequestStart, 0x11, 0x22};
    w.Packet(Dir::HostToDevice, t0 + 7000, partial, sizeof partial, "");
    w.Note(Dir::HostToDevice, t0 + 8000, "host set its line to 9600 8N1");
    const std::vector<std::uint8_t> flood(PcapWriter::kMaxPacket + 10, 0xFF);
    w.Packet(Dir::DeviceToHost, t0 + 9000, flood.data(), flood.size(), "flood");
    // Replies with data byte 2, then 6, not zero (the checksum kept right).
    for (const std::size_t at : {std::size_t{2}, std::size_t{6}}) {
        ReplyFrame data = MakeReply(0xDF);
        data[at] = 0x01;
        data[kReplySize - 1] = static_cast<std::uint8_t>(data[kReplySize - 1] - 1);
        Put(w, Dir::DeviceToHost, t0 + 10000 + at, data);
    }
    w.Close();
    ASSERT_TRUE(w.Good()) << w.Error();

    const auto rows = TsharkFields(file,
                                   {"frame.packet_flags_direction", "frame.time_epoch", "frame.len", "zol.kind", "zol.d1",
                                    "zol.ea", "zol.checksum.good", "zol.ea.matches", "zol.request_in", "frame.comment",
                                    "_ws.col.Info"},
                                   dir, ZOLEMUL_LUA);
    ASSERT_TRUE(rows);
    const std::string kOut = "0x00000002", kIn = "0x00000001";  // epb_flags: outbound, inbound
    const std::vector<std::vector<std::string>> want = {
        // direction, time, length, kind, D1, EA, checksum good, EA matches, request in, comment, info
        {kOut, "1700000000.000001000", "7", "request", "0x42", "", "1", "", "", "", "request D1=0x42"},
        {kIn, "1700000000.000900000", "9", "reply", "", "0xbd", "1", "1", "1", "delayed 20 ms",
         "reply EA=0xBD (matches)"},
        {kOut, "1700000000.002000000", "7", "request", "0x10", "", "1", "", "", "", "request D1=0x10"},
        {kIn, "1700000000.003000000", "9", "reply", "", "0xef", "0", "1", "3", "corrupted",
         "reply EA=0xEF (matches) bad checksum"},
        {kOut, "1700000000.004000000", "7", "request", "0x20", "", "1", "", "", "", "request D1=0x20"},
        {kOut, "1700000000.004500000", "7", "request", "0x77", "", "0", "", "", "", "request D1=0x77 bad checksum"},
        {kIn, "1700000000.005000000", "9", "reply", "", "0x55", "1", "0", "5", "",
         "reply EA=0x55 (expected 0xDF)"},
        {kIn, "1700000000.006000000", "7", "noise", "", "", "", "", "", "", "noise 7 bytes"},
        {kOut, "1700000000.007000000", "3", "partial", "", "", "", "", "", "", "partial 3 bytes"},
        {kOut, "1700000000.008000000", "0", "note", "", "", "", "", "", "host set its line to 9600 8N1", "note"},
        {kIn, "1700000000.009000000", "65536", "noise", "", "", "", "", "", "flood", "noise 65536 bytes"},
        {kIn, "1700000000.009000000", "10", "noise", "", "", "", "", "", "", "noise 10 bytes"},
        {kIn, "1700000000.010002000", "9", "reply", "", "0xdf", "1", "1", "5", "",
         "reply EA=0xDF (matches) data not zero"},
        {kIn, "1700000000.010006000", "9", "reply", "", "0xdf", "1", "1", "5", "",
         "reply EA=0xDF (matches) data not zero"},
    };
    ASSERT_EQ(rows->size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ((*rows)[i], want[i]) << "frame " << i + 1;
    }
}

// A file that cannot be made fails Open with its name; a write that fails makes the
// writer not Good, with the reason, and nothing after it is attempted.
TEST(PcapCapture, FailuresAreReportedNotThrown) {
    TempDir dir;
    PcapWriter w;
    std::string error;
    EXPECT_FALSE(w.Open(dir / "no/such/dir.pcapng", &error));
    EXPECT_EQ(error.rfind("cannot write capture " + dir.path() + "/no/such/dir.pcapng: ", 0), 0u) << error;
    EXPECT_FALSE(w.IsOpen());

    // /dev/full takes the file open and fails every write.
    EXPECT_FALSE(w.Open("/dev/full", &error));
    EXPECT_FALSE(w.Good());
    EXPECT_NE(w.Error().find("/dev/full: "), std::string::npos) << w.Error();
    const auto r = MakeReply(0xA5);
    w.Packet(Dir::DeviceToHost, 1, r.data(), r.size(), "");
    w.Flush();
    EXPECT_FALSE(w.Good());
}

}  // namespace
