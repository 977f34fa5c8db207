// The link frames: their bytes, their checksum, the EA rule, and building and
// checking them. No I/O: the device, zolhost and the tests take the rules from here.
//
// Request, host to device, 7 bytes:  02 D1 D2 D3 D4 03 checksum
// Reply, device to host, 9 bytes:    12 EA 00 00 00 00 00 13 checksum
// The checksum makes the 8-bit sum of every byte of a frame, itself included, 0x01.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t kRequestStart = 0x02;
inline constexpr std::uint8_t kRequestEnd = 0x03;
inline constexpr std::uint8_t kReplyStart = 0x12;
inline constexpr std::uint8_t kReplyEnd = 0x13;
inline constexpr std::size_t kRequestDataSize = 4;
inline constexpr std::size_t kReplyDataSize = 6;
inline constexpr std::size_t kRequestEndAt = 1 + kRequestDataSize;  // offset of the end byte
inline constexpr std::size_t kReplyEndAt = 1 + kReplyDataSize;
inline constexpr std::size_t kRequestSize = kRequestEndAt + 2;
inline constexpr std::size_t kReplySize = kReplyEndAt + 2;
inline constexpr std::uint8_t kFrameSum = 0x01;

// The device's end of the link: serial port 2 (COM2), 115200 baud, 8 data bits,
// no parity, 1 stop bit.
inline constexpr int kDevicePort = 2;
inline constexpr char kDevicePortName[] = "COM2";
inline constexpr std::uint32_t kDeviceBaud = 115200;
inline constexpr char kDeviceParity = 'N';
inline constexpr int kDeviceDataBits = 8;
inline constexpr int kDeviceStopBits = 1;

using RequestFrame = std::array<std::uint8_t, kRequestSize>;
using ReplyFrame = std::array<std::uint8_t, kReplySize>;

// The checksum byte that completes a frame whose other bytes sum to `sum` (mod 256).
constexpr std::uint8_t ChecksumAfter(std::uint8_t sum) {
    return static_cast<std::uint8_t>(kFrameSum - sum);
}

// The checksum byte that completes a frame whose other bytes are p[0..n).
constexpr std::uint8_t FrameChecksum(const std::uint8_t* p, std::size_t n) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum = static_cast<std::uint8_t>(sum + p[i]);
    }
    return ChecksumAfter(sum);
}

// The EA rule: the reply to a request whose data byte 1 is d1 carries EA = d1 xor FF.
constexpr std::uint8_t ReplyEa(std::uint8_t d1) {
    return static_cast<std::uint8_t>(d1 ^ 0xFF);
}

// A good request carrying the four data bytes.
constexpr RequestFrame MakeRequest(std::uint8_t d1, std::uint8_t d2 = 0, std::uint8_t d3 = 0, std::uint8_t d4 = 0) {
    RequestFrame f = {kRequestStart, d1, d2, d3, d4, kRequestEnd, 0};
    f[kRequestSize - 1] = FrameChecksum(f.data(), kRequestSize - 1);
    return f;
}

// The reply carrying EA; its data bytes 2-6 are never set and always 0.
constexpr ReplyFrame MakeReply(std::uint8_t ea) {
    ReplyFrame f{};
    f[0] = kReplyStart;
    f[1] = ea;
    f[kReplyEndAt] = kReplyEnd;
    f[kReplySize - 1] = FrameChecksum(f.data(), kReplySize - 1);
    return f;
}

enum class ReplyFault {
    None,
    BadStart,     // first byte not 0x12
    NonZeroData,  // one of reply data bytes 2-6 not zero
    BadEnd,       // end byte not 0x13
    BadChecksum,  // bytes do not sum to 0x01
    WrongEa,      // a well-formed reply, but not to the request sent
};

// Checks the 9 bytes at p as the reply to a request whose data byte 1 is d1.
// The checks run in frame order; the first that fails is reported.
ReplyFault CheckReply(const std::uint8_t* p, std::uint8_t d1);
const char* ReplyFaultText(ReplyFault fault);
