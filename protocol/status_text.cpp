#include "protocol/status_text.h"

#include <cstdio>

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
