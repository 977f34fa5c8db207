// Text zolhost shows: messages and the lines of --trace on standard error (one
// format for every command), and bytes as hex.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/base/clock.h"

namespace zolhost {

// "02 00 00 00 00 03 FC"
std::string Hex(const std::uint8_t* p, std::size_t n);
// Microseconds as seconds: "1.234567 s".
std::string SecondsText(std::int64_t us);
// One byte in hex: "5a", "5A" or "0x5A". false for anything else.
bool ParseHexByte(const std::string& text, std::uint8_t* value);
// A whole decimal number from lo to hi, with nothing before or after it.
bool ParseUnsigned(const std::string& s, std::uint64_t lo, std::uint64_t hi, std::uint64_t* v);
// A finite decimal number from lo to hi, with nothing after it.
bool ParseReal(const std::string& s, double lo, double hi, double* v);

// The words of `text` as a shell splits them: blanks between words; '...' and "..."
// keep blanks, a backslash the character after it (outside '...'). false for a
// quote left open or a backslash at the end.
bool SplitWords(const std::string& text, std::vector<std::string>* words);

// ASCII letters in lower case (names, schemes and headers that are read in any case).
inline std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// "zolhost: <text>".
void Say(const std::string& text);

// One line of --trace: microseconds since the program started, the direction
// ('>' toward the device, '<' toward the host), a label (empty: none), the bytes
// as hex (empty for what happened beside them) and what they are (empty: the
// bytes alone).
void TraceLine(Clock::time_point at, char direction, const std::string& label, const std::string& bytes,
               const std::string& what);

}  // namespace zolhost
