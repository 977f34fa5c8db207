#include "host/local/serial_endpoint.h"

#include "host/system/system.h"

namespace zolhost {

SerialEndpoint::~SerialEndpoint() {
    Close();
}

bool SerialEndpoint::Open(const std::string& path, std::string* error) {
    Close();
    char opened[256];
    bool configFailed = false;
    line_ = ComLineOpen(path.c_str(), kDeviceComLine, ComLineMode::Exclusive, opened, sizeof opened, &configFailed);
    if (line_ == nullptr) {
        *error = configFailed ? "cannot configure " + std::string(opened) + " as a serial line: " +
                                    SystemErrorText(ComLineError())
                              : "cannot open " + path + ": " + SystemErrorText(ComLineError());
        return false;
    }
    path_ = path;
    name_ = opened;
    return true;
}

std::unique_ptr<SerialEndpoint> SerialEndpoint::Opened(const std::string& path, std::string* error) {
    auto port = std::make_unique<SerialEndpoint>();
    return port->Open(path, error) ? std::move(port) : nullptr;
}

void SerialEndpoint::Close() {
    waiter_.reset();  // its wait on the port ends before the port does
    ComLineClose(line_);
    line_ = nullptr;
}

Io SerialEndpoint::Outcome(Io r, const char* what) {
    if (r == Io::HungUp || r == Io::Failed) {
        error_ = std::string("cannot ") + what + " " + name_ + ": " + SystemErrorText(ComLineError());
    }
    return r;
}

Io SerialEndpoint::Read(std::uint8_t* p, std::size_t n, std::size_t* got) {
    std::uint32_t read = 0;
    const Io r = line_ == nullptr ? Io::HungUp
                                     : ComLineRead(line_, p, static_cast<std::uint32_t>(n), &read);
    *got = read;
    readSinceWake_ = true;
    return Outcome(r, "read from");
}

Io SerialEndpoint::Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) {
    std::uint32_t took = 0;
    const Io r = line_ == nullptr ? Io::HungUp
                                     : ComLineWrite(line_, p, static_cast<std::uint32_t>(n), &took);
    *taken = took;
    roomWanted_ = r == Io::WouldBlock;
    return Outcome(r, "write to");
}

std::intptr_t SerialEndpoint::RoomHandle() {
    return line_ != nullptr && roomWanted_ ? ComLineWritableEvent(line_) : 0;
}

Io SerialEndpoint::Reopen() {
    std::string ignored;
    return Open(path_, &ignored) ? Io::Done : Io::WouldBlock;
}

std::string SerialEndpoint::WhileGone(const std::string& why) const {
    return ": " + why + "; opening it again every " + std::to_string(kReopenMs) + " ms";
}

}  // namespace zolhost
