// What a UART set to one line takes from a UART that sends on another: how the
// link garbles the bytes between a host program and the device while their lines
// differ, so that a wrong rate or frame meets the same fate it meets with a real
// device.
//
// The sender's bytes go out back to back (start bit, data bits from the lowest,
// parity, stop bits; the line at mark after the last). The receiver samples them
// as a UART does: a mark-to-space edge starts a frame, each bit is sampled in its
// middle at the receiver's own rate, each stop bit it expects must be a mark and
// its parity must hold; a byte that fails is read as 0x00, which is what a termios
// line without IGNPAR or PARMRK gives for a framing or parity error. After a byte
// the receiver looks for the next edge from where it sampled its last stop bit;
// a line still at space there must first come back to mark.
//
// One rule goes beyond the hardware: a byte the receiver takes from the start of a
// byte that was sent, with the value that byte had, is read as a framing error too.
// A real receiver may let such a byte of another line through (two stop bits
// against one, rates a few per cent apart); this one never does, so a line that
// differs never passes unseen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/transport/line_settings.h"

namespace zolhost {

// The bytes a receiver on `receiver` takes from p[0..n) sent back to back on
// `sender`. Lines that are the same pass the bytes as they are; a line no UART
// runs (rate 0, fewer than 5 or more than 8 data bits) receives nothing.
std::vector<std::uint8_t> UartReceive(const LineSettings& sender, const LineSettings& receiver, const std::uint8_t* p,
                                      std::size_t n);

}  // namespace zolhost
