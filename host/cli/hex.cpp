#include "host/cli/hex.h"

#include <cstdio>

namespace zolhost {

std::string Hex(const std::uint8_t* p, std::size_t n) {
    std::string out;
    out.reserve(n * 3);
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i + 1 < n ? "%02X " : "%02X", p[i]);
        out += b;
    }
    return out;
}

bool ParseHexByte(const std::string& text, std::uint8_t* value) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2) {
        return false;
    }
    unsigned v = 0;
    for (char c : digits) {
        v <<= 4;
        if (c >= '0' && c <= '9') {
            v |= static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v |= static_cast<unsigned>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            v |= static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
    }
    *value = static_cast<std::uint8_t>(v);
    return true;
}

}  // namespace zolhost
