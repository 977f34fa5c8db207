// A serial port carried over telnet with the COM-PORT-OPTION (option 44, RFC 2217):
// the protocol alone, no I/O. The caller hands in what came from the network and
// gets back the data for the device, the replies to send back and what happened;
// data going the other way is escaped for the network.
//
//  - Server: zolhost listening for a host program (pyserial's rfc2217://, hub4com, ...).
//    Each SET-BAUDRATE, -DATASIZE, -PARITY and -STOPSIZE is answered with the value in
//    force afterwards; SET-CONTROL, SET-LINESTATE-MASK, SET-MODEMSTATE-MASK and
//    PURGE-DATA are acknowledged; NOTIFY-MODEMSTATE goes out once the option is agreed
//    and on each change the caller reports.
//  - Client: zolhost reaching a device behind an RFC 2217 server (ser2net). Once the
//    server agrees to the option it asks for the settings wanted (115200 8N1, no flow
//    control) and records the answers; it never waits for an answer to SET-CONTROL,
//    which servers in front of a pty leave unanswered.
//
// Telnet itself: BINARY is asked for both ways and SUPPRESS-GO-AHEAD accepted; every
// other option is refused (DONT / WONT). Data bytes pass unchanged but for 0xFF, which
// is doubled on the network; CR and NUL are never rewritten, as a serial line is
// binary whatever the peer negotiates. Telnet commands (NOP, AYT, BRK, ...) are
// dropped, never passed on as data.
//
// Bounded: the engine keeps a fixed state and a subnegotiation of at most
// kMaxSubnegotiation bytes (longer ones are swallowed up to their IAC SE and
// reported). One call gives out at most as many data bytes as it took, and replies of
// at most three times its input plus what goes out once as the option is agreed;
// events are at most one per telnet command taken, and a refused option is reported
// once per connection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/transport/line_settings.h"

namespace zolhost::net {

// Telnet bytes.
inline constexpr std::uint8_t kIac = 0xFF;
inline constexpr std::uint8_t kDont = 0xFE;
inline constexpr std::uint8_t kDo = 0xFD;
inline constexpr std::uint8_t kWont = 0xFC;
inline constexpr std::uint8_t kWill = 0xFB;
inline constexpr std::uint8_t kSb = 0xFA;
inline constexpr std::uint8_t kSe = 0xF0;
inline constexpr std::uint8_t kOptBinary = 0;
inline constexpr std::uint8_t kOptEcho = 1;
inline constexpr std::uint8_t kOptSga = 3;
inline constexpr std::uint8_t kOptComPort = 44;

// COM-PORT-OPTION commands as a client sends them; a server answers with 100 more.
enum ComCommand : std::uint8_t {
    kSignature = 0,
    kSetBaudRate = 1, kSetDataSize, kSetParity, kSetStopSize,  // the line's settings
    kSetControl = 5,
    kNotifyLineState = 6, kNotifyModemState,
    kFlowControlSuspend = 8, kFlowControlResume,
    kSetLineStateMask = 10, kSetModemStateMask,
    kPurgeData = 12,
};
inline constexpr std::uint8_t kServerOffset = 100;

// SET-CONTROL values, a line for each thing set: the request for its state, then
// the values that set it.
enum ControlValue : std::uint8_t {
    kCtlRequestFlow = 0, kCtlFlowNone, kCtlFlowXonXoff, kCtlFlowHardware,
    kCtlRequestBreak = 4, kCtlBreakOn, kCtlBreakOff,
    kCtlRequestDtr = 7, kCtlDtrOn, kCtlDtrOff,
    kCtlRequestRts = 10, kCtlRtsOn, kCtlRtsOff,
    kCtlRequestFlowIn = 13, kCtlFlowInNone, kCtlFlowInXonXoff, kCtlFlowInHardware,
    kCtlFlowDcd = 17, kCtlFlowInDtr, kCtlFlowDsr,  // flow control by DCD (out), DTR (in), DSR (out)
};

// Modem state bits (NOTIFY-MODEMSTATE): the lines in the high nibble, their changes
// since the last notification in the low one.
inline constexpr std::uint8_t kModemCd = 0x80;
inline constexpr std::uint8_t kModemRi = 0x40;
inline constexpr std::uint8_t kModemDsr = 0x20;
inline constexpr std::uint8_t kModemCts = 0x10;
inline constexpr std::uint8_t kModemLines = 0xF0;

// PURGE-DATA values: the server's buffer of data received from the serial line (not
// yet sent to the network), of data to transmit on it, or both.
inline constexpr std::uint8_t kPurgeReceive = 1;
inline constexpr std::uint8_t kPurgeTransmit = 2;
inline constexpr std::uint8_t kPurgeBoth = 3;

// Parity and stop size as the option codes them (host/transport/line_settings.h).
using zolhost::LineSettings;
using zolhost::Parity;
using zolhost::SettingsText;
using zolhost::StopSize;

// The control lines and flow control as set over the option.
struct PortControl {
    std::uint8_t flowOut = kCtlFlowNone;   // kCtlFlowNone, -XonXoff, -Hardware, -Dcd, -Dsr
    std::uint8_t flowIn = kCtlFlowInNone;  // kCtlFlowInNone, -XonXoff, -Hardware, -Dtr
    bool dtr = true;
    bool rts = true;
    bool breakOn = false;
};

struct PortEvent {
    enum class Kind {
        ComPortAgreed,   // the peer takes part in the option
        ComPortRefused,  // the peer refused it: no settings, no modem lines
        Settings,        // server: the host program set a value (code: ComCommand, value);
                         // client: the far server answered with the value in force
        SettingsRefused, // client: the far server answered another value than asked for
        Control,         // a SET-CONTROL value set (server) or acknowledged (client)
        Purge,           // value: kPurgeReceive, -Transmit, -Both; the caller does it
        LineStateMask,   // value: the new mask
        ModemStateMask,  // value: the new mask
        FlowSuspend,     // the peer asks for no more data until FlowResume
        FlowResume,
        ModemState,      // client: the far server's modem state (value)
        OptionRefused,   // code: the telnet option refused (first time only)
        Ignored,         // a malformed or unknown subnegotiation, or one too long
        SharedRing,      // zolhost's own (shared_ring.h): code kRingAsk, kRingOffer or kRingRefused (RingText)
    };
    Kind kind;
    std::uint8_t code = 0;
    std::uint32_t value = 0;
};

// One line for the trace: "host set 9600 baud", "DTR off", "refused telnet option 1".
std::string EventText(const PortEvent& e);

// What one call produced. Cleared by nothing: the caller takes and clears.
struct PortOutput {
    std::vector<std::uint8_t> data;     // for the device (server) or for zolhost (client)
    std::vector<std::uint8_t> network;  // to send to the peer, in order
    std::vector<PortEvent> events;
    void clear() {
        data.clear();
        network.clear();
        events.clear();
    }
};

class TelnetPort {
public:
    enum class Role { Server, Client };
    static constexpr std::size_t kMaxSubnegotiation = 128;

    // wanted: a client's settings to ask for; a server's settings in force at first.
    explicit TelnetPort(Role role, const LineSettings& wanted = {});

    // What to send as the connection opens.
    void Start(PortOutput* out);
    // Bytes that came from the network.
    void FromNetwork(const std::uint8_t* p, std::size_t n, PortOutput* out);
    // Data bytes for the peer, escaped onto net.
    static void Escape(const std::uint8_t* p, std::size_t n, std::vector<std::uint8_t>* net);
    // zolhost's own subnegotiation about the shared rings (shared_ring.h), onto net.
    static void SharedRingMessage(std::uint8_t what, const std::string& text, std::vector<std::uint8_t>* net);
    // The text of the last such message that came.
    const std::string& RingText() const { return ringText_; }

    // Server: the modem lines (kModemCd | kModemRi | kModemDsr | kModemCts) the device
    // end holds now; notified when they changed and the option is agreed.
    void SetModemLines(std::uint8_t lines, PortOutput* out);
    // Client: other settings wanted from the far server: asked for at once when the
    // option is agreed, else when it is.
    void RequestSettings(const LineSettings& wanted, PortOutput* out);
    // Client: a SET-CONTROL or PURGE-DATA request to the far server.
    void RequestControl(std::uint8_t value, PortOutput* out);
    void RequestPurge(std::uint8_t value, PortOutput* out);

    enum class Agreement { Pending, Agreed, Refused };
    Agreement ComPort() const { return comPort_; }
    // Server: the host program's settings. Client: the far port's, as last answered.
    const LineSettings& Settings() const { return settings_; }
    const PortControl& Control() const { return control_; }
    // Client: every one of the four settings has been answered.
    bool SettingsAnswered() const { return answered_ == 0xF; }
    // The peer asked for no data (FLOWCONTROL-SUSPEND) and has not resumed.
    bool Suspended() const { return suspended_; }
    std::uint8_t ModemState() const { return modem_; }
    // Bytes swallowed as part of refused or malformed telnet input, for the summary.
    std::uint64_t DroppedBytes() const { return dropped_; }

private:
    enum class Q : std::uint8_t { No, Yes, WantYes };
    enum class State : std::uint8_t { Data, Iac, Option, Sb, SbIac };

    void Command(std::uint8_t cmd, std::uint8_t opt, PortOutput* out);
    void Subnegotiation(PortOutput* out);
    // A COM-PORT-OPTION subnegotiation: cmd and its n value bytes.
    void ServerCom(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out);
    void ServerBaud(const std::uint8_t* v, std::size_t n, PortOutput* out);
    void ServerByteSetting(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out);
    void ServerControl(const std::uint8_t* v, std::size_t n, PortOutput* out);
    void ServerMask(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out);
    void ClientCom(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out);
    // FLOWCONTROL-SUSPEND or -RESUME from the peer.
    void Flow(std::uint8_t cmd, PortOutput* out);
    // A subnegotiation not taken (cmd as it came): reported, and its bytes counted
    // as dropped.
    void Ignore(std::uint32_t cmd, std::size_t n, PortOutput* out);
    static bool Wanted(std::uint8_t opt);
    void Enabled(std::uint8_t opt, PortOutput* out);
    void Send(std::uint8_t cmd, std::uint8_t opt, PortOutput* out) const;
    void SendCom(std::uint8_t cmd, const std::uint8_t* v, std::size_t n, PortOutput* out) const;
    void SendCom(std::uint8_t cmd, std::uint8_t v, PortOutput* out) const { SendCom(cmd, &v, 1, out); }
    void SendBaud(std::uint8_t cmd, std::uint32_t baud, PortOutput* out) const;
    void SendSettings(PortOutput* out) const;
    void Notify(std::uint8_t value, PortOutput* out);

    Role role_;
    LineSettings wanted_;
    LineSettings settings_;
    PortControl control_;
    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::array<Q, 256> us_{};
    std::array<Q, 256> him_{};
    std::array<bool, 256> reported_{};
    std::array<std::uint8_t, kMaxSubnegotiation> sb_{};
    std::size_t sbLen_ = 0;
    bool sbOverflow_ = false;
    Agreement comPort_ = Agreement::Pending;
    std::uint8_t answered_ = 0;  // client: bit per setting answered
    bool settingsSent_ = false;
    bool suspended_ = false;
    std::uint8_t modem_ = 0;     // server: lines held; client: last notified
    bool modemSent_ = false;
    std::uint8_t modemMask_ = 0xFF;
    std::uint8_t lineMask_ = 0;
    std::uint64_t dropped_ = 0;
    std::string ringText_;
};

}  // namespace zolhost::net
