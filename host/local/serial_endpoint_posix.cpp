// Waiting on a serial-port endpoint on POSIX systems: poll on its descriptor.
#include <poll.h>

#include "host/local/serial_endpoint.h"
#include "host/system/system.h"
#include "serial/com_line.h"

namespace zolhost {

int SerialEndpoint::PollFd() const {
    return line_ == nullptr ? -1 : static_cast<int>(ComLineSystemHandle(line_));
}

std::intptr_t SerialEndpoint::WaitHandle() {
    return 0;  // the link polls the descriptor
}

bool SerialEndpoint::Waited() {
    return false;  // the link polls the descriptor
}

Io SerialEndpoint::WaitReadable(int timeoutMs, Beside* beside) {
    return WaitFd(PollFd(), POLLIN, timeoutMs, beside);
}

Io SerialEndpoint::WaitWritable(int timeoutMs, Beside* beside) {
    return WaitFd(PollFd(), POLLOUT, timeoutMs, beside);
}

}  // namespace zolhost
