// Bytes as hex text, for zolhost's output and command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zolhost {

// "02 00 00 00 00 03 FC"
std::string Hex(const std::uint8_t* p, std::size_t n);
// One byte in hex: "5a", "5A" or "0x5A". false for anything else.
bool ParseHexByte(const std::string& text, std::uint8_t* value);

}  // namespace zolhost
