#include "host/link.h"

#include <cstdio>
#include <thread>

#include "host/hex.h"
#include "host/platform.h"
#include "serial/com_line.h"

namespace zolhost {

namespace {

const Clock::time_point kStart = Clock::now();

// Waits until t, sleeping while far from it and spinning the last stretch, since
// a byte time at high rates is shorter than the system's sleep granularity.
void WaitUntil(Clock::time_point t) {
    const auto spin = std::chrono::microseconds(200);
    auto now = Clock::now();
    if (t - now > spin) {
        std::this_thread::sleep_until(t - spin);
    }
    while (Clock::now() < t) {
    }
}

}  // namespace

double Elapsed() {
    return std::chrono::duration<double>(Clock::now() - kStart).count();
}

HostLink::~HostLink() {
    if (owned_ && h_ != INVALID_HANDLE_VALUE) {
        OsClose(h_);
    }
}

bool HostLink::OpenPort(const std::string& path, std::string* error) {
    char opened[256];
    const OsHandle h = ComOpenName(path.c_str(), OsOpenMode::Exclusive, opened, sizeof opened);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + path + ": " + SystemErrorText(OsLastError());
        return false;
    }
    name_ = opened;
    if (!ComApplyLine(h, ComLineSettings{})) {
        *error = "cannot configure " + name_ + " as a serial line: " + SystemErrorText(OsLastError());
        OsClose(h);
        return false;
    }
    h_ = h;
    owned_ = true;
    return true;
}

void HostLink::Attach(OsHandle h, const std::string& name) {
    h_ = h;
    owned_ = false;
    name_ = name;
}

void HostLink::SetTrace(bool on, const std::string& label) {
    trace_ = on;
    label_ = label;
}

void HostLink::Trace(char dir, const std::uint8_t* p, std::size_t n) {
    if (!trace_ || n == 0) {
        return;
    }
    std::fprintf(stderr, "%12.6f %s%c %s\n", Elapsed(), label_.empty() ? "" : (label_ + " ").c_str(), dir,
                 Hex(p, n).c_str());
}

bool HostLink::WriteOnce(const std::uint8_t* p, std::size_t n) {
    const auto give_up = Clock::now() + std::chrono::milliseconds(writeTimeoutMs_);
    for (;;) {
        if (OsWrite(h_, p, static_cast<std::uint32_t>(n))) {
            return true;
        }
        const std::uint32_t code = OsLastError();
        if (code == ERROR_IO_PENDING) {
            return true;  // taken, still being written
        }
        if (!IsWouldBlock(code)) {
            error_ = "cannot write to " + name_ + ": " + SystemErrorText(code);
            return false;
        }
        // The device end is not reading: its queue is full.
        if (Clock::now() >= give_up || StopRequested()) {
            error_ = "cannot write to " + name_ + ": the device end has stopped taking bytes";
            return false;
        }
        bool side = false;
        if (sideFd_ >= 0 && WaitReadable(INVALID_HANDLE_VALUE, 1, sideFd_, &side) == WaitResult::Timeout && side) {
            ServeSide();
        } else if (sideFd_ < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

bool HostLink::Send(const std::uint8_t* p, std::size_t n) {
    if (paceBaud_ == 0) {
        Trace('>', p, n);
        return WriteOnce(p, n);
    }
    const Clock::duration byteTime = ByteTime(paceBaud_);
    for (std::size_t i = 0; i < n; ++i) {
        const auto now = Clock::now();
        if (nextByte_ > now) {
            WaitUntil(nextByte_);
        } else {
            nextByte_ = now;  // the line was idle
        }
        Trace('>', p + i, 1);
        if (!WriteOnce(p + i, 1)) {
            return false;
        }
        nextByte_ += byteTime;
    }
    return true;
}

HostLink::Rx HostLink::ReadAvailable(std::vector<std::uint8_t>* out) {
    std::uint8_t buf[4096];
    std::uint32_t got = 0;
    if (!OsRead(h_, buf, sizeof buf, &got)) {
        const std::uint32_t code = OsLastError();
        if (IsWouldBlock(code)) {
            return Rx::Timeout;
        }
        if (IsHangUpError(code)) {
            return Rx::HungUp;
        }
        error_ = "cannot read from " + name_ + ": " + SystemErrorText(code);
        return Rx::Failed;
    }
    if (got == 0) {
        return Rx::Timeout;
    }
    Trace('<', buf, got);
    out->insert(out->end(), buf, buf + got);
    return Rx::Data;
}

void HostLink::ServeSide() {
    if (!onSide_()) {
        sideFd_ = -1;  // it has nothing more to give
    }
}

HostLink::Rx HostLink::Receive(std::vector<std::uint8_t>* out, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        bool side = false;
        const WaitResult waited = WaitReadable(h_, left < 0 ? 0 : static_cast<int>(left), sideFd_, &side);
        if (side) {
            ServeSide();
        }
        switch (waited) {
        case WaitResult::Readable: {
            const Rx r = ReadAvailable(out);
            if (r != Rx::Timeout) {
                return r;
            }
            break;  // woken without data: wait on
        }
        case WaitResult::Timeout:
            if (Clock::now() >= deadline) {
                return Rx::Timeout;
            }
            break;
        case WaitResult::HungUp: return Rx::HungUp;
        case WaitResult::Stopped: return Rx::Stopped;
        case WaitResult::Failed:
            error_ = "cannot wait for " + name_;
            return Rx::Failed;
        }
    }
}

std::size_t HostLink::Drain(std::vector<std::uint8_t>* out) {
    const std::size_t before = out->size();
    while (WaitReadable(h_, 0) == WaitResult::Readable && ReadAvailable(out) == Rx::Data) {
    }
    return out->size() - before;
}

}  // namespace zolhost
