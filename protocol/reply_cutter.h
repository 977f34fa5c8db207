// Cutting replies out of the bytes a device sends, as a host program does: a 0x12
// with 0x13 where a reply has its end byte starts a reply (its other checks may
// still fail); any other byte is noise. A start byte is held until the bytes after
// it say which it is. The one place replies are cut, for every reader of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ReplyCutter {
public:
    struct Piece {
        bool reply;  // kReplySize bytes of a reply; otherwise noise
        std::vector<std::uint8_t> bytes;
    };

    // Appends to *out the pieces the bytes complete.
    void Feed(const std::uint8_t* p, std::size_t n, std::vector<Piece>* out);
    // The line has gone quiet: a start byte whose reply never completed, and what
    // followed it, are noise.
    void Quiet(std::vector<Piece>* out);
    // Bytes held: the start of a reply, maybe.
    std::size_t Held() const { return held_.size(); }
    void Clear() { held_.clear(); }

private:
    std::vector<std::uint8_t> held_;  // starts with 0x12, shorter than a reply
};
