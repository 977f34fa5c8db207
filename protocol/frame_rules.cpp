#include "protocol/frame_rules.h"

ReplyFault CheckReply(const std::uint8_t* p, std::uint8_t d1) {
    if (p[0] != kReplyStart) {
        return ReplyFault::BadStart;
    }
    for (std::size_t i = 2; i < kReplyEndAt; ++i) {
        if (p[i] != 0) {
            return ReplyFault::NonZeroData;
        }
    }
    if (p[kReplyEndAt] != kReplyEnd) {
        return ReplyFault::BadEnd;
    }
    if (p[kReplySize - 1] != FrameChecksum(p, kReplySize - 1)) {
        return ReplyFault::BadChecksum;
    }
    if (p[1] != ReplyEa(d1)) {
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
