// The emulator's console texts: the start-up line, and the status text of one
// answered frame, "Frame N received" then "EA:.., TORA:..\r", which together form
// one status line rewritten in place (no line feed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// printf format of the start-up line; its argument is the port number (int).
inline constexpr char kStartLineFormat[] = "Zol Emul Started in COM%d\n";
// printf formats of the two halves of a frame's status text: the frame count
// (unsigned), then EA and TORA (two upper-case hex digits each).
inline constexpr char kFrameCountFormat[] = "Frame %u received";
inline constexpr char kFrameImageFormat[] = "EA:%2.2X, TORA:%2.2X\r";

// Length of the longest status text of one frame ("Frame 4294967295 received" and
// "EA:FF, TORA:FF\r").
inline constexpr std::size_t kFrameTextMax = 40;

// Writes the status text of frame number `frame` (both halves, no terminating
// NUL counted) into out[0..size) and returns its length. Returns 0 and leaves
// `out` unspecified when it does not fit with a NUL after it: size kFrameTextMax + 1
// always fits.
std::size_t FormatFrameText(char* out, std::size_t size, std::uint32_t frame, std::uint8_t ea, std::uint8_t tora);

// Reads a frame's status text back (both halves, without the "\r"): true when
// `text` is one exactly as FormatFrameText writes it, with its frame count, EA and
// TORA.
bool ParseFrameText(const std::string& text, std::uint32_t* frame, std::uint8_t* ea, std::uint8_t* tora);

// Reads console output back: finds the end of each frame's status text
// ("TORA:XX\r", as kFrameImageFormat writes it) in output that arrives in pieces.
class StatusTextScanner {
public:
    // Appends the TORA of every status text that ends in p[0..n) to *toras (none:
    // only the latest is kept).
    void Feed(const char* p, std::size_t n, std::vector<std::uint8_t>* toras = nullptr);
    // The latest whole status text seen, without its "\r" ("Frame 3 receivedEA:2E,
    // TORA:D1"); empty before the first.
    const std::string& Latest() const { return latest_; }

private:
    std::string tail_;  // the start of a status text whose end has not arrived yet
    std::string line_;  // the text since the last "\r" or line feed, while it may be a status text
    bool longLine_ = false;  // ... it grew past one: it is not
    std::string latest_;
};
