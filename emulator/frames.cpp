// Request reader and reply writer of the link.
#include "emulator/frames.h"

#include "serial/com_port.h"

std::uint8_t TORA = 0;
std::uint8_t EA = 0;

namespace {

// The port's input queue as the receiver reads it. A read that fails under the
// count (the port went away) leaves the frame unaccepted.
struct PortInput {
    std::int32_t Waiting() const { return static_cast<std::int32_t>(ComRxCount()); }
    int Take() const { return ComReadByte(); }
};

}  // namespace

int ReceiveRequest() {
    PortInput port;
    return ReceiveFrom(port, &TORA);
}

int SendReply() {
    const ReplyFrame tramout = MakeReply(EA);
    ComWrite(tramout.data(), static_cast<std::uint32_t>(tramout.size()));
    return 0;
}
