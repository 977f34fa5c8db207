// A pcapng capture of what `zolhost link` sees on the line, for Wireshark with the
// dissector host/capture/zolemul.lua. Standard library only: it builds for Windows too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zolhost {

// pcapng (draft-ietf-opsawg-pcapng) as the capture uses it: blocks and options,
// little-endian, each padded to 32 bits.
namespace pcapng {
inline constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
inline constexpr std::uint32_t kInterfaceDescription = 0x00000001;
inline constexpr std::uint32_t kEnhancedPacket = 0x00000006;
inline constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
inline constexpr std::uint16_t kOptEnd = 0;
inline constexpr std::uint16_t kOptComment = 1;
inline constexpr std::uint16_t kEpbFlags = 2;
inline constexpr std::uint16_t kIfTsresol = 9;
inline constexpr std::uint32_t kFlagInbound = 0b01;
inline constexpr std::uint32_t kFlagOutbound = 0b10;
}  // namespace pcapng

// A pcapng capture of the link: one section, one interface (link type USER0, 147: the bytes of
// the serial line, no header), one enhanced packet block per frame with its direction flag and
// an optional comment.
class PcapWriter {
public:
    enum class Direction { HostToDevice, DeviceToHost };
    PcapWriter() = default;
    ~PcapWriter();  // Close()
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;
    // Creates or truncates path and writes the section header, with a comment for each of
    // `header` (what the capture is of), and the interface; false with *error ("cannot write
    // capture FILE: why").
    bool Open(const std::string& path, std::string* error, const std::vector<std::string>& header = {});
    bool IsOpen() const;
    // One packet: the bytes as they crossed the line, at atUs microseconds since the Unix epoch;
    // comment empty for none, and a second comment, `tag`, for programs that read the capture
    // back (empty for none). More bytes than one packet may carry (kMaxPacket) go out as
    // several packets, the comments on the first.
    void Packet(Direction d, std::uint64_t atUs, const std::uint8_t* p, std::size_t n, const std::string& comment,
                const std::string& tag = "");
    // Something on the line beside the data (the host set its line to 9600 8N1): a packet with no
    // bytes carrying the comment.
    void Note(Direction d, std::uint64_t atUs, const std::string& comment);
    // Puts what is buffered into the file (the relay calls it when idle, at most every 100 ms).
    void Flush();
    void Close();
    // false once a write failed; Error() says why (the relay reports it once and stops capturing).
    bool Good() const;
    const std::string& Error() const;

    // The bytes of one packet at most: well below the 262144 above which Wireshark refuses a
    // packet as corrupt.
    static constexpr std::size_t kMaxPacket = 65536;

private:
    void Block(Direction d, std::uint64_t atUs, const std::uint8_t* p, std::size_t n, const std::string& comment,
               const std::string& tag);
    void Fail(const char* why);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::vector<std::uint8_t> buffer_;  // blocks not yet handed to the file
    bool good_ = true;
    std::string error_;
};

}  // namespace zolhost
