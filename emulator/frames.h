// The link frames seen from the device side: requests in, replies out, and the two
// device image bytes they carry. The frame rules themselves are in protocol/.
#pragma once

#include <cstdint>

#include "protocol/frame_rules.h"
#include "protocol/receiver.h"

// Device image bytes: data byte 1 of the latest request read, and data byte 1 of the
// next reply.
extern std::uint8_t TORA;
extern std::uint8_t EA;

// Takes one request from the port's input queue by the receiving rule: kRequestOk
// with TORA set, kRequestIncomplete while fewer than 7 bytes wait, kRequestBadEnd or
// kRequestBadChecksum for a frame that failed its checks. Never waits for the link.
int ReceiveRequest();

// Writes the reply built from the image bytes; always 0.
int SendReply();
