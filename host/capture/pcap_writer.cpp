#include "host/capture/pcap_writer.h"

#include <cerrno>
#include <cstring>

#include "zol_version.h"

namespace zolhost {

namespace {

using namespace pcapng;
constexpr std::uint16_t kLinkTypeUser0 = 147;
constexpr std::uint16_t kShbUserAppl = 4;
constexpr std::uint16_t kIfName = 2;
// An option's value is at most 65535 bytes long.
constexpr std::size_t kMaxOption = 0xFFFF;
// Handed to the file once this much is buffered, between Flush() calls.
constexpr std::size_t kBufferLimit = 256 * 1024;

class BlockBytes {
public:
    explicit BlockBytes(std::uint32_t type) {
        U32(type);
        U32(0);  // total length, set by Finish()
    }
    void U16(std::uint16_t v) {
        b_.push_back(static_cast<std::uint8_t>(v));
        b_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(static_cast<std::uint16_t>(v));
        U16(static_cast<std::uint16_t>(v >> 16));
    }
    void Raw(const void* p, std::size_t n) {
        const auto* q = static_cast<const std::uint8_t*>(p);
        b_.insert(b_.end(), q, q + n);
        b_.resize((b_.size() + 3) & ~std::size_t{3}, 0);
    }
    void Option(std::uint16_t code, const void* p, std::size_t n) {
        U16(code);
        U16(static_cast<std::uint16_t>(n));
        Raw(p, n);
    }
    void Option(std::uint16_t code, const std::string& text) {
        std::size_t n = text.size();
        if (n > kMaxOption) {
            // Cut where no UTF-8 sequence is split.
            n = kMaxOption;
            while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
                --n;
            }
        }
        Option(code, text.data(), n);
    }
    // Ends the options and the block; appends the block to *out.
    void Finish(std::vector<std::uint8_t>* out) {
        U16(kOptEnd);
        U16(0);
        const auto total = static_cast<std::uint32_t>(b_.size() + 4);
        U32(total);
        for (int i = 0; i < 4; ++i) {
            b_[4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
        }
        out->insert(out->end(), b_.begin(), b_.end());
    }

private:
    std::vector<std::uint8_t> b_;
};

}  // namespace

PcapWriter::~PcapWriter() { Close(); }

bool PcapWriter::Open(const std::string& path, std::string* error, const std::vector<std::string>& header) {
    Close();
    good_ = true;
    error_.clear();
    buffer_.clear();
    path_ = path;
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) {
        Fail(std::strerror(errno));
        if (error != nullptr) {
            *error = error_;
        }
        return false;
    }

    BlockBytes shb(kSectionHeader);
    shb.U32(kByteOrderMagic);
    shb.U16(1);  // version 1.0
    shb.U16(0);
    shb.U32(0xFFFFFFFF);  // section length: not given
    shb.U32(0xFFFFFFFF);
    for (const std::string& comment : header) {
        shb.Option(kOptComment, comment);
    }
    shb.Option(kShbUserAppl, std::string("zolhost ") + ZOL_VERSION);
    shb.Finish(&buffer_);

    BlockBytes idb(kInterfaceDescription);
    idb.U16(kLinkTypeUser0);
    idb.U16(0);  // reserved
    idb.U32(0);  // snap length: none
    idb.Option(kIfName, std::string("zolhost link"));
    const std::uint8_t microseconds = 6;
    idb.Option(kIfTsresol, &microseconds, 1);
    idb.Finish(&buffer_);

    // The headers reach the file now, so an unwritable file shows at once.
    Flush();
    if (!good_) {
        if (error != nullptr) {
            *error = error_;
        }
        return false;
    }
    return true;
}

bool PcapWriter::IsOpen() const { return file_ != nullptr; }

void PcapWriter::Packet(Direction d, std::uint64_t atUs, const std::uint8_t* p, std::size_t n,
                        const std::string& comment, const std::string& tag) {
    if (n == 0) {
        Block(d, atUs, p, 0, comment, tag);
        return;
    }
    for (std::size_t at = 0; at < n; at += kMaxPacket) {
        const bool first = at == 0;
        Block(d, atUs, p + at, n - at < kMaxPacket ? n - at : kMaxPacket, first ? comment : "", first ? tag : "");
    }
}

void PcapWriter::Note(Direction d, std::uint64_t atUs, const std::string& comment) {
    Block(d, atUs, nullptr, 0, comment, "");
}

void PcapWriter::Block(Direction d, std::uint64_t atUs, const std::uint8_t* p, std::size_t n,
                       const std::string& comment, const std::string& tag) {
    if (file_ == nullptr || !good_) {
        return;
    }
    BlockBytes epb(kEnhancedPacket);
    epb.U32(0);  // the interface
    epb.U32(static_cast<std::uint32_t>(atUs >> 32));
    epb.U32(static_cast<std::uint32_t>(atUs));
    epb.U32(static_cast<std::uint32_t>(n));  // captured
    epb.U32(static_cast<std::uint32_t>(n));  // on the line
    epb.Raw(p, n);
    for (const std::string* text : {&comment, &tag}) {
        if (!text->empty()) {
            epb.Option(kOptComment, *text);
        }
    }
    // The direction: the dissector tells requests from replies by it alone when the
    // bytes are no frame.
    epb.U16(kEpbFlags);
    epb.U16(4);
    epb.U32(d == Direction::HostToDevice ? kFlagOutbound : kFlagInbound);
    epb.Finish(&buffer_);
    if (buffer_.size() >= kBufferLimit) {
        Flush();
    }
}

void PcapWriter::Flush() {
    if (file_ == nullptr || !good_ || buffer_.empty()) {
        return;  // nothing new: the relay calls this on every pass of its loop
    }
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
        Fail(std::strerror(errno));
        return;
    }
    buffer_.clear();
    if (std::fflush(file_) != 0) {
        Fail(std::strerror(errno));
    }
}

void PcapWriter::Close() {
    if (file_ == nullptr) {
        return;
    }
    Flush();
    if (std::fclose(file_) != 0 && good_) {
        Fail(std::strerror(errno));
    }
    file_ = nullptr;
    buffer_.clear();
}

bool PcapWriter::Good() const { return good_; }

const std::string& PcapWriter::Error() const { return error_; }

void PcapWriter::Fail(const char* why) {
    good_ = false;
    error_ = "cannot write capture " + path_ + ": " + why;
    buffer_.clear();
}

}  // namespace zolhost
