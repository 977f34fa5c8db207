// The telnet / RFC 2217 engine on byte strings: what a peer sends in, what comes out
// for the device, what goes back and what is reported.
#include "host/net/telnet_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>

#include "protocol/frame_rules.h"

namespace zolhost::net {
namespace {

using Bytes = std::vector<std::uint8_t>;
using K = PortEvent::Kind;

Bytes Cmd(std::uint8_t verb, std::uint8_t opt) { return {kIac, verb, opt}; }

// IAC SB 44 cmd values IAC SE, values escaped.
Bytes Com(std::uint8_t cmd, std::initializer_list<std::uint8_t> values = {}) {
    Bytes out = {kIac, kSb, kOptComPort, cmd};
    const Bytes v(values);
    TelnetPort::Escape(v.data(), v.size(), &out);
    out.insert(out.end(), {kIac, kSe});
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

PortOutput Feed(TelnetPort& port, const Bytes& in) {
    PortOutput out;
    port.FromNetwork(in.data(), in.size(), &out);
    return out;
}

std::vector<K> Kinds(const PortOutput& out) {
    std::vector<K> k;
    for (const PortEvent& e : out.events) {
        k.push_back(e.kind);
    }
    return k;
}

// A server past the opening pyserial's client makes, modem lines CTS and DSR held.
struct Server {
    TelnetPort port{TelnetPort::Role::Server};
    Server() {
        PortOutput out;
        port.SetModemLines(kModemCts | kModemDsr, &out);
        port.Start(&out);
        Feed(port, Cat({Cmd(kWill, kOptComPort), Cmd(kWill, kOptBinary), Cmd(kDo, kOptBinary)}));
    }
};

TEST(TelnetPort, ServerNegotiatesAsPyserialsClientExpects) {
    TelnetPort port(TelnetPort::Role::Server);
    PortOutput start;
    port.SetModemLines(kModemCts, &start);
    port.Start(&start);
    EXPECT_EQ(start.network, Cat({Cmd(kDo, kOptComPort), Cmd(kWill, kOptBinary), Cmd(kDo, kOptBinary)}));

    // pyserial's opening: DO ECHO, WILL SGA, DO SGA, DO and WILL COM-PORT-OPTION.
    const PortOutput out = Feed(port, Cat({Cmd(kDo, kOptEcho), Cmd(kWill, kOptSga), Cmd(kDo, kOptSga),
                                           Cmd(kDo, kOptComPort), Cmd(kWill, kOptComPort)}));
    // Echo refused, SGA accepted, the option agreed and the modem state sent at once.
    EXPECT_EQ(out.network, Cat({Cmd(kWont, kOptEcho), Cmd(kDo, kOptSga), Cmd(kWill, kOptSga), Cmd(kWill, kOptComPort),
                                Com(kServerOffset + kNotifyModemState, {kModemCts})}));
    EXPECT_EQ(port.ComPort(), TelnetPort::Agreement::Agreed);
    EXPECT_EQ(Kinds(out), (std::vector<K>{K::OptionRefused, K::ComPortAgreed}));
    EXPECT_TRUE(out.data.empty());

    // Its answers to our requests confirm them and need no reply: no loop.
    const PortOutput confirm = Feed(port, Cat({Cmd(kWill, kOptBinary), Cmd(kDo, kOptBinary), Cmd(kWill, kOptSga)}));
    EXPECT_TRUE(confirm.network.empty());
    EXPECT_TRUE(confirm.events.empty());
}

TEST(TelnetPort, UnknownOptionsAreRefusedEachTimeAndReportedOnce) {
    Server s;
    for (const std::uint8_t opt : {std::uint8_t{kOptEcho}, std::uint8_t{24}, std::uint8_t{34}, std::uint8_t{0xFF}}) {
        const PortOutput out = Feed(s.port, Cat({Cmd(kWill, opt), Cmd(kDo, opt), Cmd(kWill, opt)}));
        EXPECT_EQ(out.network, Cat({Cmd(kDont, opt), Cmd(kWont, opt), Cmd(kDont, opt)})) << int(opt);
        EXPECT_EQ(Kinds(out), std::vector<K>{K::OptionRefused}) << int(opt);
        EXPECT_TRUE(out.data.empty());
    }
    // A peer that turns BINARY off is answered, and asked nothing more.
    EXPECT_EQ(Feed(s.port, Cmd(kWont, kOptBinary)).network, Cmd(kDont, kOptBinary));
    EXPECT_TRUE(Feed(s.port, Cmd(kWont, kOptBinary)).network.empty());
    // Refusing the option itself is reported.
    EXPECT_EQ(Kinds(Feed(s.port, Cat({Cmd(kWont, kOptComPort), Cmd(kDont, kOptComPort)}))),
              std::vector<K>{K::ComPortRefused});
}

TEST(TelnetPort, EverySettingIsAnsweredWithTheValueInForce) {
    Server s;
    struct Case {
        Bytes in;
        Bytes reply;
    };
    const Case cases[] = {
        {Com(kSetBaudRate, {0, 0, 0x25, 0x80}), Com(101, {0, 0, 0x25, 0x80})},  // 9600 taken
        {Com(kSetBaudRate, {0, 0, 0, 0}), Com(101, {0, 0, 0x25, 0x80})},        // 0 asks
        {Com(kSetBaudRate, {0, 0, 0, 0xFF}), Com(101, {0, 0, 0, 0xFF})},        // 255: FF doubled both ways
        {Com(kSetDataSize, {7}), Com(102, {7})},
        {Com(kSetDataSize, {9}), Com(102, {7})},  // refused: the size in force
        {Com(kSetDataSize, {0}), Com(102, {7})},
        {Com(kSetParity, {5}), Com(103, {5})},  // space, the last
        {Com(kSetParity, {6}), Com(103, {5})},
        {Com(kSetParity, {3}), Com(103, {3})},
        {Com(kSetStopSize, {3}), Com(104, {3})},  // 1.5, the last
        {Com(kSetStopSize, {4}), Com(104, {3})},
        {Com(kSetStopSize, {2}), Com(104, {2})},
        {Com(kSetStopSize, {0}), Com(104, {2})},
    };
    for (const Case& c : cases) {
        const PortOutput out = Feed(s.port, c.in);
        EXPECT_EQ(out.network, c.reply) << EventText(out.events.empty() ? PortEvent{K::Ignored} : out.events[0]);
        EXPECT_TRUE(out.data.empty());
    }
    EXPECT_EQ(SettingsText(s.port.Settings()), "255 7E2");
    // Reported: the values set, not the questions nor the refusals.
    const PortOutput set = Feed(s.port, Cat({Com(kSetBaudRate, {0, 1, 0xC2, 0}), Com(kSetParity, {0})}));
    ASSERT_EQ(set.events.size(), 1u);
    EXPECT_EQ(EventText(set.events[0]), "baud 115200");
    // A value of the wrong length is not answered.
    EXPECT_EQ(Kinds(Feed(s.port, Com(kSetBaudRate, {1, 2}))), std::vector<K>{K::Ignored});
}

TEST(TelnetPort, ControlPurgeAndMasksAreAcknowledged) {
    Server s;
    struct Case {
        std::uint8_t cmd, value, answer;
    };
    const Case cases[] = {
        {kSetControl, kCtlDtrOff, kCtlDtrOff},      {kSetControl, kCtlRequestDtr, kCtlDtrOff},
        {kSetControl, kCtlRtsOn, kCtlRtsOn},        {kSetControl, kCtlRequestRts, kCtlRtsOn},
        {kSetControl, kCtlBreakOn, kCtlBreakOn},    {kSetControl, kCtlFlowHardware, kCtlFlowHardware},
        {kSetControl, kCtlRequestFlow, kCtlFlowHardware}, {kSetControl, kCtlFlowInXonXoff, kCtlFlowInXonXoff},
        {kPurgeData, kPurgeReceive, kPurgeReceive}, {kPurgeData, kPurgeBoth, kPurgeBoth},
        {kSetLineStateMask, 0, 0},                  {kSetModemStateMask, 0xFF, 0xFF},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Feed(s.port, Com(c.cmd, {c.value})).network, Com(kServerOffset + c.cmd, {c.answer}))
            << int(c.cmd) << " " << int(c.value);
    }
    EXPECT_FALSE(s.port.Control().dtr);
    EXPECT_TRUE(s.port.Control().breakOn);
    const PortOutput purge = Feed(s.port, Com(kPurgeData, {kPurgeTransmit}));
    ASSERT_EQ(purge.events.size(), 1u);
    EXPECT_EQ(EventText(purge.events[0]), "purge transmit buffer");
    // Values the option does not have: not acknowledged, reported.
    for (const Bytes& bad : {Com(kSetControl, {0x40}), Com(kPurgeData, {4}), Com(0x33, {1}), Com(kSetControl)}) {
        const PortOutput out = Feed(s.port, bad);
        EXPECT_TRUE(out.network.empty());
        EXPECT_EQ(Kinds(out), std::vector<K>{K::Ignored});
    }
}

TEST(TelnetPort, ModemStateIsNotifiedOnChangeAsTheMaskAllows) {
    Server s;
    PortOutput out;
    s.port.SetModemLines(kModemCts | kModemDsr, &out);  // no change
    EXPECT_TRUE(out.network.empty());
    // Lines in the high nibble, their changes in the low one; all four lines
    // coming up make FF, doubled.
    s.port.SetModemLines(0, &out);
    s.port.SetModemLines(kModemLines, &out);
    EXPECT_EQ(out.network, Cat({Com(107, {0x03}), Com(107, {0xFF})}));
    EXPECT_EQ(Bytes(out.network.end() - 5, out.network.end()), (Bytes{107, kIac, kIac, kIac, kSe}));
    // Asked for, it is told.
    EXPECT_EQ(Feed(s.port, Com(kNotifyModemState)).network, Com(107, {kModemLines}));
    // Only CTS is watched: a change of DSR alone says nothing.
    Feed(s.port, Com(kSetModemStateMask, {kModemCts | 0x01}));
    out.clear();
    s.port.SetModemLines(kModemLines & ~kModemDsr, &out);
    EXPECT_TRUE(out.network.empty());
    s.port.SetModemLines(kModemCd | kModemRi, &out);
    EXPECT_EQ(out.network, Com(107, {0x01}));
}

TEST(TelnetPort, DataPassesUnchangedWithIacDoubledBothWays) {
    Server s;
    // Every byte value, CR NUL and CR LF among them, through the escape and back.
    Bytes all;
    for (int b = 0; b < 256; ++b) {
        all.push_back(static_cast<std::uint8_t>(b));
    }
    all.insert(all.end(), {0x0D, 0x00, 0x0D, 0x0A, 0xFF, 0xFF});
    Bytes net;
    TelnetPort::Escape(all.data(), all.size(), &net);
    EXPECT_EQ(net.size(), all.size() + 3);
    // Cut at every point, commands in between: the data comes out whole, nothing else.
    for (std::size_t cut = 0; cut <= net.size(); ++cut) {
        TelnetPort peer(TelnetPort::Role::Client);
        PortOutput out;
        const Bytes nop = {kIac, 0xF1};
        peer.FromNetwork(net.data(), cut, &out);
        peer.FromNetwork(nop.data(), cut % 2 == 0 && (cut == 0 || net[cut - 1] != kIac) ? nop.size() : 0, &out);
        peer.FromNetwork(net.data() + cut, net.size() - cut, &out);
        ASSERT_EQ(out.data, all) << "cut at " << cut;
    }
    // The reply to D1 = 00 carries EA = FF: it reaches the host as the device sent it.
    const ReplyFrame reply = MakeReply(ReplyEa(0x00));
    Bytes wire;
    TelnetPort::Escape(reply.data(), reply.size(), &wire);
    EXPECT_EQ(wire.size(), reply.size() + 1);
    TelnetPort host(TelnetPort::Role::Client);
    EXPECT_EQ(Feed(host, wire).data, Bytes(reply.begin(), reply.end()));
}

TEST(TelnetPort, BadInputIsDroppedWithBoundedOutputAndTheStreamRecovers) {
    Server s;
    const RequestFrame request = MakeRequest(0x5A);
    const Bytes good(request.begin(), request.end());

    // A subnegotiation that never ends: megabytes swallowed, nothing passed on.
    const Bytes never = Cat({{kIac, kSb, kOptComPort, kSetBaudRate}, Bytes(8 << 20, 0x02)});
    PortOutput out = Feed(s.port, never);
    EXPECT_TRUE(out.data.empty());
    EXPECT_TRUE(out.network.empty());
    // Its end: reported, every byte of it counted dropped, and data flows again.
    out = Feed(s.port, Cat({{kIac, kSe}, good}));
    EXPECT_EQ(Kinds(out), std::vector<K>{K::Ignored});
    EXPECT_EQ(out.data, good);
    EXPECT_EQ(s.port.DroppedBytes(), never.size() - 2);

    // At the bound: a subnegotiation of kMaxSubnegotiation bytes (the option, the
    // command and a client's signature) is taken, quietly; one byte more is
    // swallowed and reported. An escaped IAC counts as one byte.
    for (const std::uint8_t last : {std::uint8_t{'z'}, kIac}) {
        for (const std::size_t size : {TelnetPort::kMaxSubnegotiation, TelnetPort::kMaxSubnegotiation + 1}) {
            Bytes signature = {kIac, kSb, kOptComPort, kSignature};
            signature.insert(signature.end(), size - 3, 'z');
            TelnetPort::Escape(&last, 1, &signature);
            signature.insert(signature.end(), {kIac, kSe});
            const std::uint64_t dropped = s.port.DroppedBytes();
            out = Feed(s.port, Cat({signature, good}));
            const bool fits = size == TelnetPort::kMaxSubnegotiation;
            EXPECT_EQ(Kinds(out), fits ? std::vector<K>{} : std::vector<K>{K::Ignored}) << size << " " << int(last);
            EXPECT_EQ(s.port.DroppedBytes() - dropped, fits ? 0 : size) << size << " " << int(last);
            EXPECT_TRUE(out.network.empty());
            EXPECT_EQ(out.data, good);
        }
    }

    // A subnegotiation cut short by a command: dropped, the command taken.
    out = Feed(s.port, Cat({{kIac, kSb, kOptComPort, kSetDataSize, 5}, Cmd(kWill, 24), good}));
    EXPECT_EQ(Kinds(out), (std::vector<K>{K::Ignored, K::OptionRefused}));
    EXPECT_EQ(out.network, Cmd(kDont, 24));
    EXPECT_EQ(out.data, good);
    EXPECT_EQ(s.port.Settings().dataBits, 8);

    // Megabytes of IAC: pairs are data bytes FF, half as many; an odd one waits.
    out = Feed(s.port, Bytes((4 << 20) + 1, kIac));
    EXPECT_EQ(out.data, Bytes(2 << 20, kIac));
    EXPECT_TRUE(out.network.empty());
    out = Feed(s.port, Cat({{0xF1}, good}));  // IAC NOP
    EXPECT_EQ(out.data, good);

    // A flood of commands: stray SE, NOP, AYT, BRK, refused options, settings asked
    // for, subnegotiations of other options. No data, replies within bounds, few events.
    Bytes flood;
    for (int i = 0; i < 200000; ++i) {
        const Bytes pieces[] = {{kIac, kSe},           {kIac, 0xF1},           {kIac, 0xF6}, {kIac, 0xF3},
                                Cmd(kDo, 200),         Com(kSetBaudRate, {0, 0, 0, 0}), Com(kNotifyModemState),
                                {kIac, kSb, 24, 1, kIac, kSe}, Com(kSignature)};
        const Bytes& p = pieces[i % 9];
        flood.insert(flood.end(), p.begin(), p.end());
    }
    out = Feed(s.port, flood);
    EXPECT_TRUE(out.data.empty());
    EXPECT_LE(out.network.size(), 3 * flood.size());
    EXPECT_LE(std::count_if(out.events.begin(), out.events.end(), [](const PortEvent& e) { return e.kind != K::Ignored; }),
              1);
    EXPECT_EQ(Feed(s.port, good).data, good);
}

TEST(TelnetPort, ClientAsksFor115200_8N1AndNeedsNoAnswerToSetControl) {
    TelnetPort port(TelnetPort::Role::Client);
    PortOutput start;
    port.Start(&start);
    EXPECT_EQ(start.network, Cat({Cmd(kWill, kOptComPort), Cmd(kWill, kOptBinary), Cmd(kDo, kOptBinary)}));

    // A ser2net-like server: WILL ECHO and SGA, DO the option and BINARY.
    PortOutput out = Feed(port, Cat({Cmd(kWill, kOptEcho), Cmd(kWill, kOptSga), Cmd(kDo, kOptComPort),
                                     Cmd(kDo, kOptBinary), Cmd(kWill, kOptBinary)}));
    EXPECT_EQ(out.network, Cat({Cmd(kDont, kOptEcho), Cmd(kDo, kOptSga), Com(kSetBaudRate, {0, 1, 0xC2, 0}),
                                Com(kSetDataSize, {8}), Com(kSetParity, {1}), Com(kSetStopSize, {1}),
                                Com(kSetControl, {kCtlFlowNone})}));
    EXPECT_FALSE(port.SettingsAnswered());

    // It answers the settings, one of them with another value, and not SET-CONTROL.
    out = Feed(port, Cat({Com(101, {0, 1, 0xC2, 0}), Com(102, {8}), Com(103, {3}), Com(104, {1}),
                          Com(107, {0xFF}), {'o', 'k'}}));
    EXPECT_TRUE(port.SettingsAnswered());
    EXPECT_EQ(Kinds(out), (std::vector<K>{K::Settings, K::Settings, K::SettingsRefused, K::Settings, K::ModemState}));
    EXPECT_EQ(EventText(out.events[2]), "far port answered parity E instead");
    EXPECT_EQ(port.ModemState(), 0xFF);
    EXPECT_EQ(out.data, (Bytes{'o', 'k'}));
    EXPECT_TRUE(out.network.empty());

    // Its own requests and client commands from a server are not answered.
    out = Feed(port, Cat({Com(kSetBaudRate, {0, 0, 0, 0}), Com(kPurgeData, {1})}));
    EXPECT_TRUE(out.network.empty());
    EXPECT_EQ(Kinds(out), (std::vector<K>{K::Ignored, K::Ignored}));
}

// A program that sets its port before the server has agreed to the option gets its
// own settings asked for, not the defaults; set again later, they go out at once and
// the answers are weighed against them.
TEST(TelnetPort, ClientAsksForSettingsSetBeforeAndAfterTheOptionIsAgreed) {
    TelnetPort port(TelnetPort::Role::Client);
    PortOutput out;
    port.Start(&out);
    out.clear();
    port.RequestSettings({9600, 7, Parity::Even, StopSize::Two}, &out);
    EXPECT_TRUE(out.network.empty());
    out = Feed(port, Cmd(kDo, kOptComPort));
    EXPECT_EQ(out.network, Cat({Com(kSetBaudRate, {0, 0, 0x25, 0x80}), Com(kSetDataSize, {7}), Com(kSetParity, {3}),
                                Com(kSetStopSize, {2}), Com(kSetControl, {kCtlFlowNone})}));

    out.clear();
    port.RequestSettings({19200, 8, Parity::None, StopSize::One}, &out);
    EXPECT_EQ(out.network, Cat({Com(kSetBaudRate, {0, 0, 0x4B, 0}), Com(kSetDataSize, {8}), Com(kSetParity, {1}),
                                Com(kSetStopSize, {1})}));
    out = Feed(port, Cat({Com(101, {0, 0, 0x4B, 0}), Com(102, {8}), Com(103, {1}), Com(104, {2})}));
    EXPECT_EQ(Kinds(out), (std::vector<K>{K::Settings, K::Settings, K::Settings, K::SettingsRefused}));
}

}  // namespace
}  // namespace zolhost::net
