// An endpoint that lives in memory, joined to a program that the caller plays (as
// pyserial's loop:// joins a port to itself): what the program sends, the endpoint
// reads; what is written to the endpoint, the program receives. The program can
// also set its line, make notes (control lines, purges), fill the line toward it,
// leave and come back. Nothing waits and nothing has a descriptor, so whatever runs
// over endpoints (the link, a channel) is tested without ptys or time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "host/transport/endpoint.h"

namespace zolhost {

class MemoryEndpoint : public Endpoint {
public:
    explicit MemoryEndpoint(std::string name) : name_(std::move(name)) {}

    // The program's side.
    void ProgramSends(const std::vector<std::uint8_t>& bytes);
    // What was written to the endpoint since the last call, taken.
    std::vector<std::uint8_t> ProgramReceives();
    // The program sets its line: a Setting note, and what PeerSettings gives.
    void ProgramSets(const LineSettings& line);
    void ProgramNotes(const LineNote& note) { notes_.push_back(note); }
    // The endpoint takes at most this many bytes the program has not received yet
    // (0: no limit): a program that stops reading fills the line.
    void SetRoom(std::size_t bytes) { room_ = bytes; }
    // The program leaves (reads give HungUp once its bytes are read; writes fail) or
    // comes back (Reopen gives Done).
    void ProgramLeaves() { present_ = false; }
    void ProgramComes() { present_ = true; }

    const std::string& Name() const override { return name_; }
    Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) override;
    Io Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) override;
    Io WaitReadable(int timeoutMs, Beside* beside = nullptr) override;
    Io WaitWritable(int timeoutMs, Beside* beside = nullptr) override;
    int PollFd() const override { return -1; }
    Io Reopen() override { return present_ ? Io::Done : Io::WouldBlock; }
    std::string WhileGone(const std::string& why) const override { return ": " + why; }
    void TakeNotes(std::vector<LineNote>* out) override;
    std::optional<PeerLine> PeerSettings() const override { return line_; }

private:
    std::string name_;
    std::deque<std::uint8_t> in_;   // from the program, not read yet
    std::vector<std::uint8_t> out_; // to the program, not received yet
    std::vector<LineNote> notes_;
    std::optional<PeerLine> line_;
    std::size_t room_ = 0;
    bool present_ = true;
};

}  // namespace zolhost
