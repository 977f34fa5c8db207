// zolhost's own minimal device, the benchmark's baseline: it serves the device end
// of a virtual link as the emulator does (opened exclusively, the same line
// settings, the same receiver rule, one reply per good request), but sleeps in
// poll until bytes arrive and takes them in one read. With status text it also
// prints the emulator's per-frame text, flushed per message, to a pty that it
// drains itself, as a terminal would.
#pragma once

#include <memory>
#include <string>

#include "host/base/text.h"
#include "protocol/frame_rules.h"

namespace zolhost {

class DrainedTerminal;

class Responder {
public:
    Responder();
    ~Responder();  // stops it
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // Opens the device end at devicePath and starts serving it on its own thread.
    bool Start(const std::string& devicePath, bool statusText, std::string* error);
    void Stop();
    // The terminal the status text is printed to; nullptr without status text.
    DrainedTerminal* Terminal();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The pyserial baseline's replies: the reply to every D1 from 00 to FF in turn,
// in hex, as the frame rules build them.
inline std::string ReplyTable() {
    std::string table;
    for (int d1 = 0; d1 < 256; ++d1) {
        const ReplyFrame reply = MakeReply(ReplyEa(static_cast<std::uint8_t>(d1)));
        table += Hex(reply.data(), reply.size()) + " ";
    }
    return table;
}

}  // namespace zolhost
