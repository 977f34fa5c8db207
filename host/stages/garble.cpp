#include "host/stages/garble.h"

#include "host/stages/uart_model.h"

namespace zolhost {

namespace {

// "9600 baud against the device's 115200, 2 stop bits against 1".
std::string Differences(const LineSettings& h, const LineSettings& d) {
    std::string out;
    auto add = [&out](const std::string& what) { out += (out.empty() ? "" : ", ") + what; };
    if (h.baud != d.baud) {
        add(std::to_string(h.baud) + " baud against the device's " + std::to_string(d.baud));
    }
    if (h.dataBits != d.dataBits) {
        add(std::to_string(h.dataBits) + " data bits against " + std::to_string(d.dataBits));
    }
    if (h.parity != d.parity) {
        add(std::string("parity ") + ParityLetter(h.parity) + " against " + ParityLetter(d.parity));
    }
    if (h.stopSize != d.stopSize) {
        add(std::string(StopBitsText(h.stopSize)) + " stop bits against " + StopBitsText(d.stopSize));
    }
    return out;
}

}  // namespace

std::string Garble::SetHostLine(const std::optional<PeerLine>& line) {
    if (!line) {
        host_.reset();
        return {};
    }
    if (line == host_) {
        return {};
    }
    const bool before = Differs() != nullptr;
    host_ = line;
    std::string text = "host line: " + PeerLineText(*line);
    if (!line->frameShown && !frameUnseenSaid_) {
        text += " (a pty shows no data bits or parity: taken as 8N)";
        frameUnseenSaid_ = true;
    }
    if (line->settings == kDeviceLine) {
        return text + (before ? ", as the device's again: bytes pass unchanged" : ", as the device's");
    }
    return text + "; it differs from the device's " + SettingsText(kDeviceLine) + " (" +
           Differences(line->settings, kDeviceLine) + "): " +
           (warnOnly_ ? "bytes pass unchanged (--mismatch warn), as no real device would take them"
                      : "bytes are garbled both ways, as a UART at the other setting takes them");
}

const LineSettings* Garble::Differs() const {
    return host_ && host_->settings != kDeviceLine ? &host_->settings : nullptr;
}

void Garble::Cross(bool toDevice, const std::uint8_t*& p, std::size_t& n, std::vector<std::uint8_t>* scratch) {
    const LineSettings* host = Differs();
    if (host == nullptr) {
        return;
    }
    Counts& c = toDevice ? toDevice_ : toHost_;
    c.crossed += n;
    if (!warnOnly_) {
        *scratch = toDevice ? UartReceive(*host, kDeviceLine, p, n) : UartReceive(kDeviceLine, *host, p, n);
        p = scratch->data();
        n = scratch->size();
    }
    c.arrived += n;
}

std::string Garble::FrameNote(bool toDevice) const {
    if (Differs() == nullptr) {
        return {};
    }
    const std::string at = PeerLineText(*host_);
    return warnOnly_ ? "passed on unchanged although the host's line is " + at
           : toDevice ? "as the device took it from the host's " + at
                      : "garbled on the way to the host's " + at;
}

}  // namespace zolhost
