#include "host/transport/builtin_device.h"

#include <algorithm>

#include "protocol/frame_rules.h"
#include "protocol/receiver.h"
#include "protocol/status_text.h"

namespace zolhost {

void BuiltinDevice::Compact(std::vector<std::uint8_t>* v, std::size_t* head) {
    if (*head == v->size()) {
        v->clear();
        *head = 0;
    } else if (*head >= 4096 && *head * 2 >= v->size()) {
        v->erase(v->begin(), v->begin() + static_cast<std::ptrdiff_t>(*head));
        *head = 0;
    }
}

int BuiltinDevice::DriverLine::WriteSome(const unsigned char* p, std::uint32_t cb, std::uint32_t* pcbTaken) const {
    const std::size_t room = kDriverQueue - std::min<std::size_t>(kDriverQueue, d.Queued());
    *pcbTaken = static_cast<std::uint32_t>(std::min<std::size_t>(cb, room));
    d.queue_.insert(d.queue_.end(), p, p + *pcbTaken);
    return 1;
}

void BuiltinDevice::Answer(std::uint8_t d1) {
    const ReplyFrame reply = MakeReply(ReplyEa(d1));
    std::uint32_t error = 0;
    if (!held_.Write(DriverLine{*this}, reply.data(), static_cast<std::uint32_t>(reply.size()), kHeldOutputBound,
                     &error) &&
        error == kLineRefused) {
        ++counts_.refused;
    }
}

void BuiltinDevice::Work() {
    Input input{*this};
    // Room for one more reply without refusing it: the driver queue and the bound
    // of held bytes behind it.
    while (Queued() + Held() + kReplySize <= static_cast<std::size_t>(kDriverQueue) + kHeldOutputBound) {
        std::uint8_t d1 = 0;
        const int r = ReceiveFrom(input, &d1);
        if (r == kRequestIncomplete) {
            break;
        }
        if (r == kRequestOk) {
            ++counts_.answered;
            lastD1_ = d1;
            Answer(d1);
        } else {
            ++(r == kRequestBadEnd ? counts_.badEnd : counts_.badChecksum);
        }
    }
    Compact(&in_, &inHead_);
}

Io BuiltinDevice::Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) {
    *taken = std::min(n, kInputQueue - std::min<std::size_t>(kInputQueue, Waiting()));
    in_.insert(in_.end(), p, p + *taken);
    Work();
    return *taken == n ? Io::Done : Io::WouldBlock;
}

Io BuiltinDevice::Read(std::uint8_t* p, std::size_t n, std::size_t* got) {
    *got = std::min(n, Queued());
    std::copy_n(queue_.begin() + static_cast<std::ptrdiff_t>(queueHead_), *got, p);
    queueHead_ += *got;
    Compact(&queue_, &queueHead_);
    held_.Push(DriverLine{*this});
    Work();
    return *got > 0 ? Io::Done : Io::WouldBlock;
}

std::string BuiltinDevice::LastFrame() const {
    if (counts_.answered == 0) {
        return {};
    }
    // Numbered from 0 as zolemul numbers them, in its 32-bit count.
    char text[kFrameTextMax + 1];
    const std::size_t n = FormatFrameText(text, sizeof text, static_cast<std::uint32_t>(counts_.answered - 1),
                                          ReplyEa(lastD1_), lastD1_);
    return std::string(text, n > 0 && text[n - 1] == '\r' ? n - 1 : n);
}

Io BuiltinDevice::WaitReadable(int, Beside*) {
    return Queued() > 0 ? Io::Done : Io::Timeout;
}

std::optional<std::chrono::steady_clock::time_point> BuiltinDevice::ReadyAt() const {
    if (Queued() == 0) {
        return std::nullopt;
    }
    return std::chrono::steady_clock::time_point{};  // long due
}

void BuiltinDevice::Purge() {
    held_.Drop();
    in_.clear();
    inHead_ = 0;
    queue_.clear();
    queueHead_ = 0;
}

}  // namespace zolhost
