#include "host/base/text.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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

std::string SecondsText(std::int64_t us) {
    char b[32];
    std::snprintf(b, sizeof b, "%.6f s", static_cast<double>(us) / 1e6);
    return b;
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

bool ParseUnsigned(const std::string& s, std::uint64_t lo, std::uint64_t hi, std::uint64_t* v) {
    if (s.empty() || s[0] < '0' || s[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long x = std::strtoull(s.c_str(), &end, 10);
    if (errno != 0 || end != s.c_str() + s.size() || x < lo || x > hi) {
        return false;
    }
    *v = x;
    return true;
}

bool ParseReal(const std::string& s, double lo, double hi, double* v) {
    if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double x = std::strtod(s.c_str(), &end);
    if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(x) || x < lo || x > hi) {
        return false;
    }
    *v = x;
    return true;
}

bool SplitWords(const std::string& text, std::vector<std::string>* words) {
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0 && c == quote) {
            quote = 0;
        } else if (c == '\\' && quote != '\'') {
            if (++i == text.size()) {
                return false;
            }
            word += text[i];
            inWord = true;
        } else if (quote != 0) {
            word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            if (inWord) {
                words->push_back(word);
            }
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words->push_back(word);
    }
    return quote == 0;
}

void Say(const std::string& text) {
    std::fprintf(stderr, "zolhost: %s\n", text.c_str());
}

void TraceLine(Clock::time_point at, char direction, const std::string& label, const std::string& bytes,
               const std::string& what) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(at - ProgramStart()).count();
    const std::string who = label.empty() ? "" : label + " ";
    if (what.empty()) {
        std::fprintf(stderr, "%10lld %s%c %s\n", static_cast<long long>(us), who.c_str(), direction, bytes.c_str());
    } else {
        std::fprintf(stderr, "%10lld %s%c %-26s  %s\n", static_cast<long long>(us), who.c_str(), direction, bytes.c_str(),
                     what.c_str());
    }
}

}  // namespace zolhost
