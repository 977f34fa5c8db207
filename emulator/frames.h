// The link frames seen from the device side: requests in, replies out, and the two
// device image bytes they carry.
//
// Request, host to device, 7 bytes:  02 TORA d2 d3 d4 03 checksum
// Reply, device to host, 9 bytes:    12 EA 00 00 00 00 00 13 checksum
// The checksum makes the 8-bit sum of every byte of a frame, itself included, 0x01.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint8_t kRequestStart = 0x02;
inline constexpr std::uint8_t kRequestEnd = 0x03;
inline constexpr std::uint8_t kReplyStart = 0x12;
inline constexpr std::uint8_t kReplyEnd = 0x13;
inline constexpr std::size_t kRequestDataSize = 4;
inline constexpr std::size_t kReplyDataSize = 6;
inline constexpr std::size_t kRequestSize = 1 + kRequestDataSize + 2;
inline constexpr std::size_t kReplySize = 1 + kReplyDataSize + 2;
inline constexpr std::uint8_t kFrameSum = 0x01;

// Results of ReceiveRequest.
inline constexpr int kRequestOk = 0;
inline constexpr int kRequestIncomplete = -1;
inline constexpr int kRequestBadEnd = -3;
inline constexpr int kRequestBadChecksum = -4;

// The checksum byte that completes a frame whose other bytes are p[0..n).
constexpr std::uint8_t FrameChecksum(const std::uint8_t* p, std::size_t n) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
        sum = static_cast<std::uint8_t>(sum + p[i]);
    }
    return static_cast<std::uint8_t>(kFrameSum - sum);
}

// Device image bytes: data byte 1 of the latest request read, and data byte 1 of the
// next reply.
extern std::uint8_t TORA;
extern std::uint8_t EA;

// Takes one request from the port's input queue: kRequestOk with TORA set,
// kRequestIncomplete while fewer than 7 bytes wait, kRequestBadEnd or
// kRequestBadChecksum for a frame that failed its checks. Never waits for the link.
int ReceiveRequest();

// Writes the reply built from the image bytes; always 0.
int SendReply();
