// Request reader and reply writer of the link.
#include "emulator/frames.h"

#include "serial/com_port.h"

std::uint8_t TORA = 0;
std::uint8_t EA = 0;

int ReceiveRequest() {
    // Hunt for the start byte while a whole frame could be waiting; the count is
    // taken again before every byte, so the hunt ends with fewer than 7 bytes left.
    for (;;) {
        if (static_cast<std::int32_t>(ComRxCount()) < static_cast<std::int32_t>(kRequestSize)) {
            return kRequestIncomplete;
        }
        const int byte = ComReadByte();
        if (byte < 0) {
            return kRequestIncomplete;  // the port failed under the count
        }
        if (byte == kRequestStart) {
            break;
        }
    }
    // The rest of the frame is already queued. A read that fails all the same
    // (the port went away) leaves the frame unaccepted; nothing is made up.
    std::uint8_t sum = kRequestStart;
    for (std::size_t i = 0; i < kRequestDataSize; ++i) {
        const int byte = ComReadByte();
        if (byte < 0) {
            return kRequestIncomplete;
        }
        if (i == 0) {
            TORA = static_cast<std::uint8_t>(byte);
        }
        sum = static_cast<std::uint8_t>(sum + byte);
    }
    const int end = ComReadByte();
    if (end < 0) {
        return kRequestIncomplete;
    }
    if (end != kRequestEnd) {
        return kRequestBadEnd;
    }
    sum = static_cast<std::uint8_t>(sum + kRequestEnd);
    const int checksum = ComReadByte();
    if (checksum < 0) {
        return kRequestIncomplete;
    }
    if (checksum != static_cast<std::uint8_t>(kFrameSum - sum)) {
        return kRequestBadChecksum;
    }
    return kRequestOk;
}

int SendReply() {
    std::uint8_t tramout[16] = {};
    tramout[0] = kReplyStart;
    tramout[1] = EA;
    // tramout[2..6]: the five further image bytes, never set, always 0.
    tramout[1 + kReplyDataSize] = kReplyEnd;
    tramout[kReplySize - 1] = FrameChecksum(tramout, kReplySize - 1);
    ComWrite(tramout, static_cast<std::uint32_t>(kReplySize));
    return 0;
}
