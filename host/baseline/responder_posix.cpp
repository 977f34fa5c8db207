#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "host/baseline/responder.h"
#include "host/process/child_process.h"
#include "host/system/system.h"
#include "host/transport/channel.h"
#include "platform/posix_signals.h"
#include "protocol/frame_rules.h"
#include "protocol/receiver.h"
#include "protocol/status_text.h"
#include "host/local/serial_endpoint.h"

namespace zolhost {

struct Responder::Impl {
    SerialEndpoint port;
    int stopFd = -1;
    DrainedTerminal terminal;   // for the status text
    std::FILE* sink = nullptr;  // its end the text is printed to
    std::thread serve;

    void Serve();
};

void Responder::Impl::Serve() {
    ReceiverModel receiver;
    std::vector<ReceivedFrame> frames;
    std::uint32_t count = 0;  // frames answered
    std::uint8_t buf[4096];
    pollfd pfds[2] = {{port.PollFd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        if (poll(pfds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pfds[1].revents != 0) {
            return;
        }
        if ((pfds[0].revents & POLLIN) == 0) {
            if ((pfds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                pfds[0].fd = -1;  // the host end went away: wait for the stop request
            }
            continue;
        }
        std::size_t got = 0;
        if (port.Read(buf, sizeof buf, &got) != Io::Done) {
            continue;
        }
        frames.clear();
        receiver.Feed(buf, got, &frames);
        for (const ReceivedFrame& f : frames) {
            if (f.result != kRequestOk) {
                continue;
            }
            const ReplyFrame reply = MakeReply(ReplyEa(f.d1));
            if (sink != nullptr) {
                std::fprintf(sink, kFrameCountFormat, count);
                std::fflush(sink);
            }
            ++count;
            std::size_t taken = 0;
            port.Write(reply.data(), reply.size(), &taken);  // a full line holds it, sent whole with the next
            if (sink != nullptr) {
                std::fprintf(sink, kFrameImageFormat, reply[1], f.d1);
                std::fflush(sink);
            }
        }
    }
}

Responder::Responder() : impl_(std::make_unique<Impl>()) {}

Responder::~Responder() {
    Stop();
}

bool Responder::Start(const std::string& devicePath, bool statusText, std::string* error) {
    Impl& m = *impl_;
    if (!m.port.Open(devicePath, error)) {
        *error = "baseline: " + *error;
        return false;
    }
    m.stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m.stopFd < 0) {
        *error = std::string("baseline: eventfd: ") + std::strerror(errno);
        return false;
    }
    if (statusText) {
        // A terminal for the text, drained as a terminal emulator would.
        if (!m.terminal.Open(error)) {
            *error = "baseline: " + *error;
            return false;
        }
        const std::string& name = m.terminal.SlavePath();
        const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        m.sink = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (m.sink == nullptr) {
            *error = "baseline: cannot open " + name + ": " + std::strerror(errno);
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
    }
    AllSignalsBlocked quiet;  // signals stay with the main thread
    m.serve = std::thread([&m] { m.Serve(); });
    return true;
}

DrainedTerminal* Responder::Terminal() {
    return impl_->sink != nullptr ? &impl_->terminal : nullptr;
}

void Responder::Stop() {
    Impl& m = *impl_;
    if (m.stopFd >= 0) {
        const std::uint64_t one = 1;
        (void)!write(m.stopFd, &one, sizeof one);
    }
    if (m.serve.joinable()) {
        m.serve.join();
    }
    if (m.sink != nullptr) {
        std::fclose(m.sink);
        m.sink = nullptr;
    }
    m.port.Close();
    if (m.stopFd >= 0) {
        close(m.stopFd);
        m.stopFd = -1;
    }
}

}  // namespace zolhost
