// The host program's line against the device's. While they differ, the bytes
// going each way are taken as a UART on the far end's line takes them (uart_model.h),
// or, when only warned of, passed on unchanged; either way they are counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/transport/line_settings.h"

namespace zolhost {

class Garble {
public:
    explicit Garble(bool warnOnly) : warnOnly_(warnOnly) {}

    // The host program's line as its end shows it: the text to show when it is new
    // (empty when it is not), saying how it differs from the device's and what
    // the link does about it. nullopt: the host end has closed.
    std::string SetHostLine(const std::optional<PeerLine>& line);
    // The host's line settings while they differ from the device's, else null.
    const LineSettings* Differs() const;

    // The bytes p[0..n) going toward the device (or the host) as the far end's
    // receiver takes them: while the lines differ, counted, and unless only warned
    // of, garbled (p and n then point into *scratch).
    void Cross(bool toDevice, const std::uint8_t*& p, std::size_t& n, std::vector<std::uint8_t>* scratch);
    // What a frame's trace says while the lines differ; empty while they do not.
    std::string FrameNote(bool toDevice) const;

    bool WarnOnly() const { return warnOnly_; }
    struct Counts {
        std::uint64_t crossed = 0;  // went across while the lines differed
        std::uint64_t arrived = 0;  // ... and what the receiver took of them
    };
    const Counts& Toward(bool toDevice) const { return toDevice ? toDevice_ : toHost_; }

private:
    bool warnOnly_;
    std::optional<PeerLine> host_;
    bool frameUnseenSaid_ = false;
    Counts toDevice_;
    Counts toHost_;
};

}  // namespace zolhost
