#include "protocol/status_text.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

std::size_t FormatFrameText(char* out, std::size_t size, std::uint32_t frame, std::uint8_t ea, std::uint8_t tora) {
    const int count = std::snprintf(out, size, kFrameCountFormat, frame);
    if (count < 0 || static_cast<std::size_t>(count) >= size) {
        return 0;
    }
    const std::size_t rest = size - static_cast<std::size_t>(count);
    const int image = std::snprintf(out + count, rest, kFrameImageFormat, ea, tora);
    if (image < 0 || static_cast<std::size_t>(image) >= rest) {
        return 0;
    }
    return static_cast<std::size_t>(count + image);
}

namespace {

// The key of the image half's TORA, and the text from it to the end: "TORA:XX\r".
constexpr std::string_view kToraKey = "TORA:";
constexpr std::size_t kToraText = kToraKey.size() + 3;
static_assert(std::string_view(kFrameImageFormat).ends_with("TORA:%2.2X\r"),
              "the scanner reads the TORA back as the image format writes it");

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

}  // namespace

static_assert(std::string_view(kFrameCountFormat) == "Frame %u received" &&
                  std::string_view(kFrameImageFormat) == "EA:%2.2X, TORA:%2.2X\r",
              "ParseFrameText reads a status text back as these formats write it");

bool ParseFrameText(const std::string& text, std::uint32_t* frame, std::uint8_t* ea, std::uint8_t* tora) {
    unsigned f = 0, e = 0, t = 0;
    int used = 0;
    if (text.size() > kFrameTextMax ||
        std::sscanf(text.c_str(), "Frame %u receivedEA:%2X, TORA:%2X%n", &f, &e, &t, &used) != 3 ||
        static_cast<std::size_t>(used) != text.size() || e > 0xFF || t > 0xFF) {
        return false;
    }
    char again[kFrameTextMax + 1];
    const std::size_t n = FormatFrameText(again, sizeof again, f, static_cast<std::uint8_t>(e), static_cast<std::uint8_t>(t));
    if (n != text.size() + 1 || text.compare(0, text.size(), again, n - 1) != 0) {
        return false;  // not as the device writes it (a sign, spaces, lower-case digits)
    }
    *frame = f;
    *ea = static_cast<std::uint8_t>(e);
    *tora = static_cast<std::uint8_t>(t);
    return true;
}

void StatusTextScanner::Feed(const char* p, std::size_t n, std::vector<std::uint8_t>* toras) {
    for (std::size_t k = 0; k < n; ++k) {
        const char c = p[k];
        if (c == '\r' || c == '\n') {
            std::uint32_t frame = 0;
            std::uint8_t ea = 0, tora = 0;
            if (c == '\r' && !longLine_ && ParseFrameText(line_, &frame, &ea, &tora)) {
                latest_ = line_;
            }
            line_.clear();
            longLine_ = false;
        } else if (line_.size() < kFrameTextMax) {
            line_ += c;
        } else {
            longLine_ = true;
        }
    }
    if (toras == nullptr) {
        return;
    }
    tail_.append(p, n);
    std::size_t from = 0;
    for (std::size_t k; (k = tail_.find(kToraKey, from)) != std::string::npos; from = k + 1) {
        if (k + kToraText > tail_.size()) {
            break;
        }
        const int hi = HexDigit(tail_[k + kToraKey.size()]);
        const int lo = HexDigit(tail_[k + kToraKey.size() + 1]);
        if (tail_[k + kToraText - 1] == '\r' && hi >= 0 && lo >= 0) {
            toras->push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        }
    }
    const std::size_t keep = std::min(tail_.size() - from, kToraText);
    tail_.erase(0, tail_.size() - keep);
}
