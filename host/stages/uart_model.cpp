#include "host/stages/uart_model.h"

#include <bit>
#include <cstdint>
#include <optional>

namespace zolhost {

namespace {

unsigned HalfStopBits(StopSize s) {
    return s == StopSize::Two ? 4 : s == StopSize::OnePointFive ? 3 : 2;
}

unsigned ParityBit(std::uint8_t data, Parity p) {
    const unsigned ones = static_cast<unsigned>(std::popcount(data));
    switch (p) {
    case Parity::Odd: return (ones + 1) % 2;
    case Parity::Even: return ones % 2;
    case Parity::Mark: return 1;
    default: return 0;
    }
}

std::uint8_t DataMask(unsigned bits) {
    return static_cast<std::uint8_t>((1u << bits) - 1);
}

// The sender's line over time, in ticks: one of its bits lasts 2 * the receiver's
// rate, one of the receiver's 2 * the sender's, so both are whole (half stop bits
// included).
class SentLine {
public:
    SentLine(const LineSettings& s, std::uint32_t receiverBaud, const std::uint8_t* p, std::size_t n)
        : s_(s), p_(p), n_(n), bit_(2 * static_cast<std::int64_t>(receiverBaud)),
          bits_(1 + s.dataBits + (s.parity == Parity::None ? 0 : 1)),
          frame_(bits_ * bit_ + HalfStopBits(s.stopSize) * static_cast<std::int64_t>(receiverBaud)) {}

    std::int64_t End() const { return static_cast<std::int64_t>(n_) * frame_; }
    std::int64_t Frame() const { return frame_; }

    // The level at t (1 mark, 0 space) and when it may next change.
    unsigned Level(std::int64_t t, std::int64_t* until) const {
        if (t < 0) {
            *until = 0;  // idle before the first byte
            return 1;
        }
        if (t >= End()) {
            *until = INT64_MAX;
            return 1;
        }
        const std::int64_t k = t / frame_;
        const std::int64_t off = t % frame_;
        const std::int64_t bit = off / bit_;
        if (bit >= bits_) {
            *until = (k + 1) * frame_;  // stop bits, up to the next start
            return 1;
        }
        *until = k * frame_ + (bit + 1) * bit_;
        const std::uint8_t data = static_cast<std::uint8_t>(p_[k] & DataMask(s_.dataBits));
        if (bit == 0) {
            return 0;
        }
        if (bit <= s_.dataBits) {
            return (data >> (bit - 1)) & 1u;
        }
        return ParityBit(data, s_.parity);
    }
    unsigned Level(std::int64_t t) const {
        std::int64_t ignored = 0;
        return Level(t, &ignored);
    }

    // The first time from t on when the line is at `level`; none when it never is.
    std::optional<std::int64_t> Next(std::int64_t t, unsigned level) const {
        for (;;) {
            std::int64_t until = 0;
            if (Level(t, &until) == level) {
                return t;
            }
            if (until == INT64_MAX) {
                return std::nullopt;
            }
            t = until;
        }
    }

private:
    const LineSettings& s_;
    const std::uint8_t* p_;
    std::size_t n_;
    std::int64_t bit_;
    std::int64_t bits_;  // start, data and parity bits
    std::int64_t frame_;
};

}  // namespace

std::vector<std::uint8_t> UartReceive(const LineSettings& sender, const LineSettings& receiver, const std::uint8_t* p,
                                      std::size_t n) {
    if (sender == receiver) {
        return std::vector<std::uint8_t>(p, p + n);
    }
    auto usable = [](const LineSettings& s) { return s.baud > 0 && s.dataBits >= 5 && s.dataBits <= 8; };
    if (!usable(sender) || !usable(receiver)) {
        return {};  // no UART runs so: nothing is received
    }
    const SentLine line(sender, receiver.baud, p, n);
    const std::int64_t half = sender.baud;  // half a receiver bit
    const unsigned dataBits = receiver.dataBits;
    const unsigned stopBits = receiver.stopSize == StopSize::Two ? 2 : 1;
    const bool parity = receiver.parity != Parity::None;
    std::vector<std::uint8_t> got;
    std::int64_t t = -1;  // the line idles before the first start bit
    for (;;) {
        const std::optional<std::int64_t> mark = line.Next(t, 1);
        const std::optional<std::int64_t> start = mark ? line.Next(*mark, 0) : std::nullopt;
        if (!start) {
            return got;
        }
        const std::int64_t edge = *start;
        auto sample = [&](unsigned bit) { return line.Level(edge + (2 * static_cast<std::int64_t>(bit) + 1) * half); };
        if (sample(0) != 0) {
            t = edge + half;  // a glitch, not a start bit
            continue;
        }
        std::uint8_t value = 0;
        for (unsigned i = 0; i < dataBits; ++i) {
            value = static_cast<std::uint8_t>(value | (sample(1 + i) << i));
        }
        bool error = parity && sample(1 + dataBits) != ParityBit(value, receiver.parity);
        const unsigned firstStop = 1 + dataBits + (parity ? 1 : 0);
        for (unsigned i = 0; i < stopBits; ++i) {
            error = error || sample(firstStop + i) == 0;
        }
        // Taken whole from the start of a byte sent, as that byte: still no good.
        const std::int64_t k = edge / line.Frame();
        const bool fromAStart = edge % line.Frame() == 0 && static_cast<std::size_t>(k) < n;
        if (!error && fromAStart && (value == p[k] || value == (p[k] & DataMask(sender.dataBits)))) {
            error = true;
        }
        got.push_back(error ? 0 : value);
        t = edge + (2 * static_cast<std::int64_t>(firstStop + stopBits - 1) + 1) * half;
    }
}

}  // namespace zolhost
