// The link frames seen from the host side: requests built, replies checked.
// Frame constants and the checksum come from the device side's own definitions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "emulator/frames.h"

namespace zolhost {

using RequestFrame = std::array<std::uint8_t, kRequestSize>;
using ReplyFrame = std::array<std::uint8_t, kReplySize>;

// A good request carrying the four data bytes.
RequestFrame MakeRequest(std::uint8_t d1, std::uint8_t d2 = 0, std::uint8_t d3 = 0, std::uint8_t d4 = 0);
// The reply a device owes for a request whose first data byte is d1.
ReplyFrame MakeReply(std::uint8_t ea);

// EA of the reply to a request whose first data byte is d1.
constexpr std::uint8_t ExpectedEa(std::uint8_t d1) {
    return static_cast<std::uint8_t>(d1 ^ 0xFF);
}

enum class ReplyFault {
    None,
    BadStart,     // first byte not 0x12
    NonZeroData,  // one of reply data bytes 2-6 not zero
    BadEnd,       // end byte not 0x13
    BadChecksum,  // bytes do not sum to 0x01
    WrongEa,      // a well-formed reply, but not to the request sent
};

// Checks the 9 bytes at p as the reply to a request whose first data byte is d1.
// The checks run in frame order; the first that fails is reported.
ReplyFault CheckReply(const std::uint8_t* p, std::uint8_t d1);
const char* ReplyFaultText(ReplyFault fault);

// "02 00 00 00 00 03 FC"
std::string Hex(const std::uint8_t* p, std::size_t n);
// One byte in hex: "5a", "5A" or "0x5A". false for anything else.
bool ParseHexByte(const std::string& text, std::uint8_t* value);

}  // namespace zolhost
