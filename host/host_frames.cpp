#include "host/host_frames.h"

#include <cstdio>

namespace zolhost {

RequestFrame MakeRequest(std::uint8_t d1, std::uint8_t d2, std::uint8_t d3, std::uint8_t d4) {
    RequestFrame f = {kRequestStart, d1, d2, d3, d4, kRequestEnd, 0};
    f[kRequestSize - 1] = FrameChecksum(f.data(), kRequestSize - 1);
    return f;
}

ReplyFrame MakeReply(std::uint8_t ea) {
    ReplyFrame f{};
    f[0] = kReplyStart;
    f[1] = ea;
    f[1 + kReplyDataSize] = kReplyEnd;
    f[kReplySize - 1] = FrameChecksum(f.data(), kReplySize - 1);
    return f;
}

ReplyFault CheckReply(const std::uint8_t* p, std::uint8_t d1) {
    if (p[0] != kReplyStart) {
        return ReplyFault::BadStart;
    }
    for (std::size_t i = 2; i < 1 + kReplyDataSize; ++i) {
        if (p[i] != 0) {
            return ReplyFault::NonZeroData;
        }
    }
    if (p[1 + kReplyDataSize] != kReplyEnd) {
        return ReplyFault::BadEnd;
    }
    if (p[kReplySize - 1] != FrameChecksum(p, kReplySize - 1)) {
        return ReplyFault::BadChecksum;
    }
    if (p[1] != ExpectedEa(d1)) {
        return ReplyFault::WrongEa;
    }
    return ReplyFault::None;
}

const char* ReplyFaultText(ReplyFault fault) {
    switch (fault) {
    case ReplyFault::None: return "good";
    case ReplyFault::BadStart: return "start byte is not 12";
    case ReplyFault::NonZeroData: return "data bytes 2-6 are not all zero";
    case ReplyFault::BadEnd: return "end byte is not 13";
    case ReplyFault::BadChecksum: return "checksum does not match";
    case ReplyFault::WrongEa: return "EA is not the request's D1 xor FF";
    }
    return "?";
}

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
