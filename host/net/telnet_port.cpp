#include "host/net/telnet_port.h"

#include "host/net/shared_ring.h"

#include <cstdio>
#include <optional>

namespace zolhost::net {

namespace {

constexpr char kSignatureText[] = "zolhost";

const char* ControlName(std::uint32_t v) {
    switch (v) {
    case kCtlFlowNone: return "flow control none";
    case kCtlFlowXonXoff: return "flow control XON/XOFF";
    case kCtlFlowHardware: return "flow control RTS/CTS";
    case kCtlFlowDcd: return "flow control DCD";
    case kCtlFlowDsr: return "flow control DSR";
    case kCtlFlowInNone: return "inbound flow control none";
    case kCtlFlowInXonXoff: return "inbound flow control XON/XOFF";
    case kCtlFlowInHardware: return "inbound flow control RTS/CTS";
    case kCtlFlowInDtr: return "inbound flow control DTR";
    case kCtlBreakOn: return "BREAK on";
    case kCtlBreakOff: return "BREAK off";
    case kCtlDtrOn: return "DTR on";
    case kCtlDtrOff: return "DTR off";
    case kCtlRtsOn: return "RTS on";
    case kCtlRtsOff: return "RTS off";
    }
    return "control request";
}

bool IsFlowOut(std::uint8_t v) {
    return v == kCtlFlowNone || v == kCtlFlowXonXoff || v == kCtlFlowHardware || v == kCtlFlowDcd ||
           v == kCtlFlowDsr;
}

bool IsFlowIn(std::uint8_t v) {
    return v == kCtlFlowInNone || v == kCtlFlowInXonXoff || v == kCtlFlowInHardware || v == kCtlFlowInDtr;
}

// Applies a SET-CONTROL value that sets something; false for a request or an
// unknown value.
bool ApplyControl(std::uint8_t v, PortControl* c) {
    if (IsFlowOut(v)) {
        c->flowOut = v;
    } else if (IsFlowIn(v)) {
        c->flowIn = v;
    } else if (v == kCtlBreakOn || v == kCtlBreakOff) {
        c->breakOn = v == kCtlBreakOn;
    } else if (v == kCtlDtrOn || v == kCtlDtrOff) {
        c->dtr = v == kCtlDtrOn;
    } else if (v == kCtlRtsOn || v == kCtlRtsOff) {
        c->rts = v == kCtlRtsOn;
    } else {
        return false;
    }
    return true;
}

// The state a SET-CONTROL request asks about, as the value that sets it; none for
// a value that is no request.
std::optional<std::uint8_t> ControlInForce(std::uint8_t v, const PortControl& c) {
    switch (v) {
    case kCtlRequestFlow: return c.flowOut;
    case kCtlRequestFlowIn: return c.flowIn;
    case kCtlRequestBreak: return std::uint8_t{c.breakOn ? kCtlBreakOn : kCtlBreakOff};
    case kCtlRequestDtr: return std::uint8_t{c.dtr ? kCtlDtrOn : kCtlDtrOff};
    case kCtlRequestRts: return std::uint8_t{c.rts ? kCtlRtsOn : kCtlRtsOff};
    }
    return std::nullopt;
}

// SET-BAUDRATE's value: four bytes, most significant first.
std::uint32_t BaudOf(const std::uint8_t* v) {
    return std::uint32_t{v[0]} << 24 | std::uint32_t{v[1]} << 16 | std::uint32_t{v[2]} << 8 | v[3];
}

// The settings carried in one byte (SET-DATASIZE, -PARITY, -STOPSIZE): where a
// LineSettings keeps each, and the values a server takes (low to high).
struct ByteSetting {
    std::uint8_t low;
    std::uint8_t high;
    std::uint8_t (*get)(const LineSettings&);
    void (*set)(LineSettings*, std::uint8_t);
};

constexpr std::uint8_t kFirstByteSetting = kSetDataSize;
constexpr ByteSetting kByteSettings[] = {
    {5, 8, [](const LineSettings& s) { return s.dataBits; }, [](LineSettings* s, std::uint8_t v) { s->dataBits = v; }},
    {1, 5, [](const LineSettings& s) { return static_cast<std::uint8_t>(s.parity); },
     [](LineSettings* s, std::uint8_t v) { s->parity = static_cast<Parity>(v); }},
    {1, 3, [](const LineSettings& s) { return static_cast<std::uint8_t>(s.stopSize); },
     [](LineSettings* s, std::uint8_t v) { s->stopSize = static_cast<StopSize>(v); }},
};
static_assert(kSetParity == kFirstByteSetting + 1 && kSetStopSize == kFirstByteSetting + 2);

// cmd: kSetDataSize, kSetParity or kSetStopSize.
const ByteSetting& ByteSettingOf(std::uint8_t cmd) {
    return kByteSettings[cmd - kFirstByteSetting];
}

}  // namespace

std::string EventText(const PortEvent& e) {
    using K = PortEvent::Kind;
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(e.value & 0xFF));
    std::string setting;
    switch (e.code) {
    case kSetBaudRate: setting = "baud " + std::to_string(e.value); break;
    case kSetDataSize: setting = "data bits " + std::to_string(e.value); break;
    case kSetParity: setting = std::string("parity ") + ParityLetter(static_cast<Parity>(e.value)); break;
    case kSetStopSize: setting = std::string("stop bits ") + StopBitsText(static_cast<StopSize>(e.value)); break;
    default: break;
    }
    switch (e.kind) {
    case K::ComPortAgreed: return "COM-PORT-OPTION agreed";
    case K::ComPortRefused: return "COM-PORT-OPTION refused by the peer";
    case K::Settings: return setting;
    case K::SettingsRefused: return "far port answered " + setting + " instead";
    case K::Control: return ControlName(e.value);
    case K::Purge:
        return e.value == kPurgeReceive    ? "purge receive buffer"
               : e.value == kPurgeTransmit ? "purge transmit buffer"
                                           : "purge both buffers";
    case K::LineStateMask: return std::string("line state mask ") + hex;
    case K::ModemStateMask: return std::string("modem state mask ") + hex;
    case K::FlowSuspend: return "peer suspends data";
    case K::FlowResume: return "peer resumes data";
    case K::ModemState: return std::string("modem state ") + hex;
    case K::OptionRefused: return "refused telnet option " + std::to_string(e.code);
    case K::Ignored: return "ignored subnegotiation (option " + std::to_string(e.code) + ")";
    case K::SharedRing:
        return e.code == kRingAsk     ? "client asks for shared memory"
               : e.code == kRingOffer ? "bytes go through shared memory"
                                      : "shared memory refused";
    }
    return "?";
}

TelnetPort::TelnetPort(Role role, const LineSettings& wanted) : role_(role), wanted_(wanted), settings_(wanted) {}

void TelnetPort::Start(PortOutput* out) {
    // The server asks the client to use the option, the client offers to; both ask
    // for BINARY each way.
    if (role_ == Role::Server) {
        him_[kOptComPort] = Q::WantYes;
        Send(kDo, kOptComPort, out);
    } else {
        us_[kOptComPort] = Q::WantYes;
        Send(kWill, kOptComPort, out);
    }
    us_[kOptBinary] = Q::WantYes;
    Send(kWill, kOptBinary, out);
    him_[kOptBinary] = Q::WantYes;
    Send(kDo, kOptBinary, out);
}

void TelnetPort::Escape(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>* net) {
    net->reserve(net->size() + n);
    for (std::size_t i = 0; i < n; ++i) {
        net->push_back(p[i]);
        if (p[i] == kIac) {
            net->push_back(kIac);
        }
    }
}

void TelnetPort::FromNetwork(const std::uint8_t* p, std::size_t n, PortOutput* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = p[i];
        switch (state_) {
        case State::Data:
            if (b == kIac) {
                state_ = State::Iac;
            } else {
                out->data.push_back(b);
            }
            break;
        case State::Iac:
            state_ = State::Data;
            if (b == kIac) {
                out->data.push_back(kIac);
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                verb_ = b;
                state_ = State::Option;
            } else if (b == kSb) {
                sbLen_ = 0;
                sbOverflow_ = false;
                state_ = State::Sb;
            } else {
                // NOP, DM, BRK, AYT, GA, a stray SE, ...: nothing for the device.
                dropped_ += 2;
            }
            break;
        case State::Option:
            state_ = State::Data;
            Command(verb_, b, out);
            break;
        case State::Sb:
            if (b == kIac) {
                state_ = State::SbIac;
            } else if (sbLen_ < sb_.size()) {
                sb_[sbLen_++] = b;
            } else {
                sbOverflow_ = true;
                ++dropped_;
            }
            break;
        case State::SbIac:
            if (b == kSe) {
                state_ = State::Data;
                Subnegotiation(out);
            } else if (b == kIac) {
                state_ = State::Sb;
                if (sbLen_ < sb_.size()) {
                    sb_[sbLen_++] = kIac;
                } else {
                    sbOverflow_ = true;
                    ++dropped_;
                }
            } else {
                // IAC and a command inside a subnegotiation: it ended without its
                // IAC SE. Dropped; the command is taken as it stands.
                out->events.push_back({PortEvent::Kind::Ignored, sbLen_ > 0 ? sb_[0] : std::uint8_t{0}, 0});
                dropped_ += sbLen_;
                state_ = State::Iac;
                --i;
            }
            break;
        }
    }
}

bool TelnetPort::Wanted(std::uint8_t opt) {
    return opt == kOptBinary || opt == kOptSga || opt == kOptComPort;
}

void TelnetPort::Send(std::uint8_t cmd, std::uint8_t opt, PortOutput* out) const {
    out->network.insert(out->network.end(), {kIac, cmd, opt});
}

void TelnetPort::Command(std::uint8_t cmd, std::uint8_t opt, PortOutput* out) {
    // RFC 1143's rules, for a side that only ever asks to enable: answer a request
    // that changes the state, never one that confirms it, so no loop can start.
    const bool ours = cmd == kDo || cmd == kDont;
    Q& q = ours ? us_[opt] : him_[opt];
    const std::uint8_t yes = ours ? kWill : kDo;
    const std::uint8_t no = ours ? kWont : kDont;
    if (cmd == kWill || cmd == kDo) {
        if (q == Q::Yes) {
            return;
        }
        if (q == Q::No) {
            if (!Wanted(opt)) {
                Send(no, opt, out);
                if (!reported_[opt]) {
                    reported_[opt] = true;
                    out->events.push_back({PortEvent::Kind::OptionRefused, opt, 0});
                }
                return;
            }
            Send(yes, opt, out);
        }
        q = Q::Yes;
        Enabled(opt, out);
        return;
    }
    if (q == Q::No) {
        return;
    }
    if (q == Q::Yes) {
        Send(no, opt, out);
    }
    q = Q::No;
    if (opt == kOptComPort && us_[opt] != Q::Yes && him_[opt] != Q::Yes && comPort_ != Agreement::Refused) {
        comPort_ = Agreement::Refused;
        out->events.push_back({PortEvent::Kind::ComPortRefused, 0, 0});
    }
}

void TelnetPort::Enabled(std::uint8_t opt, PortOutput* out) {
    if (opt != kOptComPort || comPort_ == Agreement::Agreed) {
        return;
    }
    comPort_ = Agreement::Agreed;
    out->events.push_back({PortEvent::Kind::ComPortAgreed, 0, 0});
    if (role_ == Role::Server) {
        Notify(modem_, out);
    } else if (!settingsSent_) {  // once: a peer turning the option off and on gains nothing
        settingsSent_ = true;
        SendSettings(out);
    }
}

void TelnetPort::SendCom(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out) const {
    out->network.insert(out->network.end(), {kIac, kSb, kOptComPort, cmd});
    Escape(v, n, &out->network);
    out->network.insert(out->network.end(), {kIac, kSe});
}

void TelnetPort::SendBaud(std::uint8_t cmd, std::uint32_t baud, PortOutput* out) const {
    const std::uint8_t v[4] = {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                               static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    SendCom(cmd, v, sizeof v, out);
}

void TelnetPort::SendSettings(PortOutput* out) const {
    SendBaud(kSetBaudRate, wanted_.baud, out);
    SendCom(kSetDataSize, wanted_.dataBits, out);
    SendCom(kSetParity, static_cast<std::uint8_t>(wanted_.parity), out);
    SendCom(kSetStopSize, static_cast<std::uint8_t>(wanted_.stopSize), out);
    SendCom(kSetControl, kCtlFlowNone, out);
}

void TelnetPort::Notify(std::uint8_t value, PortOutput* out) {
    modemSent_ = true;
    SendCom(kServerOffset + kNotifyModemState, static_cast<std::uint8_t>(value & modemMask_), out);
}

void TelnetPort::SetModemLines(std::uint8_t lines, PortOutput* out) {
    lines &= kModemLines;
    const std::uint8_t changed = static_cast<std::uint8_t>(lines ^ modem_);
    modem_ = lines;
    if (role_ != Role::Server || comPort_ != Agreement::Agreed || changed == 0) {
        return;
    }
    const std::uint8_t value = static_cast<std::uint8_t>(lines | (changed >> 4));
    if (((changed | (changed >> 4)) & modemMask_) != 0) {
        Notify(value, out);
    }
}

void TelnetPort::RequestSettings(const LineSettings& wanted, PortOutput* out) {
    wanted_ = wanted;
    if (comPort_ != Agreement::Agreed) {
        return;  // asked for as the option is agreed (SendSettings takes wanted_ then)
    }
    SendBaud(kSetBaudRate, wanted_.baud, out);
    SendCom(kSetDataSize, wanted_.dataBits, out);
    SendCom(kSetParity, static_cast<std::uint8_t>(wanted_.parity), out);
    SendCom(kSetStopSize, static_cast<std::uint8_t>(wanted_.stopSize), out);
}

void TelnetPort::RequestControl(std::uint8_t value, PortOutput* out) {
    SendCom(kSetControl, value, out);
}

void TelnetPort::RequestPurge(std::uint8_t value, PortOutput* out) {
    SendCom(kPurgeData, value, out);
}

void TelnetPort::SharedRingMessage(std::uint8_t what, const std::string& text, std::vector<std::uint8_t>* net) {
    net->insert(net->end(), {kIac, kSb, kOptSharedRing, what});
    Escape(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), net);
    net->insert(net->end(), {kIac, kSe});
}

void TelnetPort::Subnegotiation(PortOutput* out) {
    if (!sbOverflow_ && sbLen_ >= 2 && sb_[0] == kOptSharedRing) {
        ringText_.assign(reinterpret_cast<const char*>(sb_.data()) + 2, sbLen_ - 2);
        out->events.push_back({PortEvent::Kind::SharedRing, sb_[1], 0});
        return;
    }
    if (sbOverflow_ || sbLen_ < 2 || sb_[0] != kOptComPort) {
        out->events.push_back({PortEvent::Kind::Ignored, sbLen_ > 0 ? sb_[0] : std::uint8_t{0}, 0});
        dropped_ += sbLen_;
        return;
    }
    if (role_ == Role::Server) {
        ServerCom(sb_[1], sb_.data() + 2, sbLen_ - 2, out);
    } else {
        ClientCom(sb_[1], sb_.data() + 2, sbLen_ - 2, out);
    }
}

void TelnetPort::Ignore(std::uint32_t cmd, std::size_t n, PortOutput* out) {
    out->events.push_back({PortEvent::Kind::Ignored, kOptComPort, cmd});
    dropped_ += n + 2;
}

void TelnetPort::Flow(std::uint8_t cmd, PortOutput* out) {
    suspended_ = cmd == kFlowControlSuspend;
    out->events.push_back({suspended_ ? PortEvent::Kind::FlowSuspend : PortEvent::Kind::FlowResume, cmd, 0});
}

void TelnetPort::ServerCom(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out) {
    const std::uint8_t answer = static_cast<std::uint8_t>(kServerOffset + cmd);
    switch (cmd) {
    case kSignature:
        if (n == 0) {
            SendCom(answer, reinterpret_cast<const std::uint8_t*>(kSignatureText), sizeof kSignatureText - 1, out);
        }
        return;
    case kSetBaudRate:
        return ServerBaud(v, n, out);
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
        return ServerByteSetting(cmd, v, n, out);
    case kSetControl:
        return ServerControl(v, n, out);
    case kNotifyLineState:
        return SendCom(answer, std::uint8_t{0}, out);  // no line errors to tell
    case kNotifyModemState:
        return Notify(modem_, out);
    case kFlowControlSuspend:
    case kFlowControlResume:
        return Flow(cmd, out);
    case kSetLineStateMask:
    case kSetModemStateMask:
        return ServerMask(cmd, v, n, out);
    case kPurgeData:
        if (n != 1 || v[0] < kPurgeReceive || v[0] > kPurgeBoth) {
            return Ignore(cmd, n, out);
        }
        out->events.push_back({PortEvent::Kind::Purge, cmd, v[0]});
        return SendCom(answer, v[0], out);
    default:
        return Ignore(cmd, n, out);
    }
}

void TelnetPort::ServerBaud(const std::uint8_t* v, std::size_t n, PortOutput* out) {
    if (n != 4) {
        return Ignore(kSetBaudRate, n, out);
    }
    const std::uint32_t baud = BaudOf(v);
    if (baud != 0) {  // 0 asks for the value in force
        settings_.baud = baud;
        out->events.push_back({PortEvent::Kind::Settings, kSetBaudRate, baud});
    }
    SendBaud(kServerOffset + kSetBaudRate, settings_.baud, out);
}

void TelnetPort::ServerByteSetting(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out) {
    if (n != 1) {
        return Ignore(cmd, n, out);
    }
    const ByteSetting& s = ByteSettingOf(cmd);
    if (v[0] >= s.low && v[0] <= s.high) {  // any other value asks for the one in force
        s.set(&settings_, v[0]);
        out->events.push_back({PortEvent::Kind::Settings, cmd, v[0]});
    }
    SendCom(static_cast<std::uint8_t>(kServerOffset + cmd), s.get(settings_), out);
}

void TelnetPort::ServerControl(const std::uint8_t* v, std::size_t n, PortOutput* out) {
    constexpr std::uint8_t answer = kServerOffset + kSetControl;
    if (n != 1) {
        return Ignore(kSetControl, n, out);
    }
    if (const std::optional<std::uint8_t> now = ControlInForce(v[0], control_)) {
        return SendCom(answer, *now, out);
    }
    if (!ApplyControl(v[0], &control_)) {
        return Ignore(kSetControl, n, out);
    }
    out->events.push_back({PortEvent::Kind::Control, kSetControl, v[0]});
    SendCom(answer, v[0], out);
}

void TelnetPort::ServerMask(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out) {
    if (n != 1) {
        return Ignore(cmd, n, out);
    }
    const bool line = cmd == kSetLineStateMask;
    (line ? lineMask_ : modemMask_) = v[0];
    out->events.push_back({line ? PortEvent::Kind::LineStateMask : PortEvent::Kind::ModemStateMask, cmd, v[0]});
    SendCom(static_cast<std::uint8_t>(kServerOffset + cmd), v[0], out);
}

void TelnetPort::ClientCom(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out) {
    if (cmd < kServerOffset) {
        return Ignore(cmd, n, out);
    }
    cmd = static_cast<std::uint8_t>(cmd - kServerOffset);
    const bool one = n == 1;
    const auto answered = [&](std::uint32_t got, std::uint32_t asked) {
        answered_ = static_cast<std::uint8_t>(answered_ | 1u << (cmd - kSetBaudRate));
        out->events.push_back({got == asked ? PortEvent::Kind::Settings : PortEvent::Kind::SettingsRefused, cmd, got});
    };
    switch (cmd) {
    case kSetBaudRate:
        if (n == 4) {
            settings_.baud = BaudOf(v);
            return answered(settings_.baud, wanted_.baud);
        }
        break;
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
        if (one) {
            const ByteSetting& s = ByteSettingOf(cmd);
            s.set(&settings_, v[0]);
            return answered(v[0], s.get(wanted_));
        }
        break;
    case kSetControl:
        if (one && ApplyControl(v[0], &control_)) {
            out->events.push_back({PortEvent::Kind::Control, cmd, v[0]});
            return;
        }
        break;
    case kNotifyModemState:
        if (one) {
            modem_ = v[0];
            out->events.push_back({PortEvent::Kind::ModemState, cmd, v[0]});
            return;
        }
        break;
    case kFlowControlSuspend:
    case kFlowControlResume:
        return Flow(cmd, out);
    case kPurgeData:
        if (one) {
            out->events.push_back({PortEvent::Kind::Purge, cmd, v[0]});
            return;
        }
        break;
    case kSignature:
    case kNotifyLineState:
    case kSetLineStateMask:
    case kSetModemStateMask:
        return;  // nothing to keep
    default:
        break;
    }
    Ignore(cmd + kServerOffset, n, out);
}

}  // namespace zolhost::net
