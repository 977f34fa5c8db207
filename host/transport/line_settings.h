// A serial line's frame as a peer set it: the rate, data bits, parity and stop
// bits. The codes of parity and stop size are those RFC 2217 carries, so the
// network endpoints pass them on as they are.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/frame_rules.h"
#include "serial/com_line.h"

namespace zolhost {

enum class Parity : std::uint8_t { None = 1, Odd = 2, Even = 3, Mark = 4, Space = 5 };
enum class StopSize : std::uint8_t { One = 1, Two = 2, OnePointFive = 3 };

struct LineSettings {
    std::uint32_t baud = kDeviceBaud;
    std::uint8_t dataBits = kDeviceDataBits;
    Parity parity = Parity::None;
    StopSize stopSize = StopSize::One;
    bool operator==(const LineSettings&) const = default;
};

// The device's own line (its parity none and one stop bit, as kDeviceParity and
// kDeviceStopBits say).
inline constexpr LineSettings kDeviceLine{};
static_assert(kDeviceParity == 'N' && kDeviceStopBits == 1);

// The device's line as the serial line API takes it.
inline constexpr ComLineSettings kDeviceComLine{kDeviceBaud, kDeviceParity, kDeviceDataBits, kDeviceStopBits};

inline const char* ParityLetter(Parity p) {
    switch (p) {
    case Parity::None: return "N";
    case Parity::Odd: return "O";
    case Parity::Even: return "E";
    case Parity::Mark: return "M";
    case Parity::Space: return "S";
    }
    return "?";
}

inline const char* StopBitsText(StopSize s) {
    switch (s) {
    case StopSize::One: return "1";
    case StopSize::Two: return "2";
    case StopSize::OnePointFive: return "1.5";
    }
    return "?";
}

// "115200 8N1", "9600 7E2", "57600 8N1.5".
inline std::string SettingsText(const LineSettings& s) {
    return std::to_string(s.baud) + " " + std::to_string(s.dataBits) + ParityLetter(s.parity) + StopBitsText(s.stopSize);
}

// The line a program at an endpoint's far end set, as far as the endpoint can see
// it: a pty shows the rate and the stop bits only (Linux ptys force 8 data bits
// without parity, whatever the program asks for).
struct PeerLine {
    LineSettings settings;
    bool frameShown = true;  // false: data bits and parity unseen (taken as 8N)
    bool operator==(const PeerLine&) const = default;
};

// "9600 8N1"; on a pty, where the frame does not show, "9600 baud, 2 stop bits".
inline std::string PeerLineText(const PeerLine& p) {
    if (p.frameShown) {
        return SettingsText(p.settings);
    }
    const bool one = p.settings.stopSize == StopSize::One;
    return std::to_string(p.settings.baud) + " baud, " + StopBitsText(p.settings.stopSize) +
           (one ? " stop bit" : " stop bits");
}

}  // namespace zolhost
