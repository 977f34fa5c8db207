#include "host/transport/memory_endpoint.h"

#include <algorithm>

namespace zolhost {

void MemoryEndpoint::ProgramSends(const std::vector<std::uint8_t>& bytes) {
    in_.insert(in_.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> MemoryEndpoint::ProgramReceives() {
    std::vector<std::uint8_t> got;
    got.swap(out_);
    return got;
}

void MemoryEndpoint::ProgramSets(const LineSettings& line) {
    line_ = PeerLine{line, true};
    notes_.push_back({LineNote::Kind::Setting, "host set " + SettingsText(line)});
}

Io MemoryEndpoint::Read(std::uint8_t* p, std::size_t n, std::size_t* got) {
    *got = std::min(n, in_.size());
    std::copy_n(in_.begin(), *got, p);
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(*got));
    if (*got > 0) {
        return Io::Done;
    }
    return present_ ? Io::WouldBlock : Io::HungUp;
}

Io MemoryEndpoint::Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) {
    *taken = 0;
    if (!present_) {
        return Fail(name_ + ": the program has left");
    }
    *taken = room_ == 0 ? n : std::min(n, room_ > out_.size() ? room_ - out_.size() : 0);
    out_.insert(out_.end(), p, p + *taken);
    return *taken == n ? Io::Done : Io::WouldBlock;
}

Io MemoryEndpoint::WaitReadable(int, Beside*) {
    return !in_.empty() ? Io::Done : present_ ? Io::Timeout : Io::HungUp;
}

Io MemoryEndpoint::WaitWritable(int, Beside*) {
    return room_ == 0 || out_.size() < room_ ? Io::Done : Io::Timeout;
}

void MemoryEndpoint::TakeNotes(std::vector<LineNote>* out) {
    out->insert(out->end(), notes_.begin(), notes_.end());
    notes_.clear();
}

}  // namespace zolhost
