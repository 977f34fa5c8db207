#include "host/transport/channel.h"


#include "host/base/text.h"
#include "host/system/system.h"

namespace zolhost {

void Channel::SetTrace(bool on, const std::string& label) {
    trace_ = on;
    label_ = label;
}

void Channel::Trace(char dir, const std::uint8_t* p, std::size_t n) {
    if (!trace_ || n == 0) {
        return;
    }
    TraceLine(Clock::now(), dir, label_, Hex(p, n), "");
}

// Writes until the endpoint has every byte, waiting for room while it takes none,
// up to the write timeout.
bool Channel::WriteAll(const std::uint8_t* p, std::size_t n) {
    const auto giveUp = Clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
    std::size_t done = 0;
    for (;;) {
        std::size_t taken = 0;
        const Io r = ep_.Write(p + done, n - done, &taken);
        done += taken;
        if (r == Io::Done) {
            return true;
        }
        if (r != Io::WouldBlock) {
            error_ = ep_.Error();
            return false;
        }
        // The device end is not reading: its queue is full.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now()).count();
        Beside side{sideFd_};
        const Io w = left > 0 ? ep_.WaitWritable(static_cast<int>(left), sideFd_ >= 0 ? &side : nullptr) : Io::Timeout;
        if (side.ready) {
            ServeSide();
            if (w == Io::Timeout) {
                continue;  // the terminal beside it had something: wait on
            }
        }
        if (w == Io::Timeout || w == Io::Stopped) {
            error_ = "cannot write to " + Name() + ": the device end has stopped taking bytes";
            return false;
        }
        if (w != Io::Done) {
            error_ = "cannot write to " + Name() + (w == Io::HungUp ? ": it hung up" : ": cannot wait for it");
            return false;
        }
    }
}

bool Channel::Send(const std::uint8_t* p, std::size_t n) {
    if (!pace_.Paced()) {
        Trace('>', p, n);
        return WriteAll(p, n);
    }
    for (std::size_t i = 0; i < n; ++i) {
        WaitUntil(pace_.Next(Clock::now()));
        Trace('>', p + i, 1);
        if (!WriteAll(p + i, 1)) {
            return false;
        }
    }
    return true;
}

Io Channel::ReadAvailable(std::vector<std::uint8_t>* out) {
    std::uint8_t buf[4096];
    std::size_t got = 0;
    const Io r = ep_.Read(buf, sizeof buf, &got);
    if (r == Io::Done) {
        Trace('<', buf, got);
        out->insert(out->end(), buf, buf + got);
    } else if (r == Io::Failed) {
        error_ = ep_.Error();
    }
    return r;
}

void Channel::ServeSide() {
    if (!onSide_()) {
        sideFd_ = -1;  // it has nothing more to give
    }
}

Io Channel::Receive(std::vector<std::uint8_t>* out, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        Beside side{sideFd_};
        const Io w = ep_.WaitReadable(left < 0 ? 0 : static_cast<int>(left), sideFd_ >= 0 ? &side : nullptr);
        if (side.ready) {
            ServeSide();
        }
        switch (w) {
        case Io::Done: {
            const Io r = ReadAvailable(out);
            if (r != Io::WouldBlock) {
                return r;
            }
            break;  // woken without data: wait on
        }
        case Io::Timeout:
            if (Clock::now() >= deadline) {
                return Io::Timeout;
            }
            break;
        case Io::Failed:
            error_ = "cannot wait for " + Name();
            return w;
        default: return w;  // HungUp, Stopped
        }
    }
}

std::size_t Channel::Drain(std::vector<std::uint8_t>* out) {
    const std::size_t before = out->size();
    while (ep_.WaitReadable(0) == Io::Done && ReadAvailable(out) == Io::Done) {
    }
    return out->size() - before;
}

}  // namespace zolhost
