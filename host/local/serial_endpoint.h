// A serial-port endpoint: a port (a real device, or any path that is a terminal)
// opened through the serial layer's own API at the device's 115200 8N1, raw. It
// hangs up when the port goes away (a USB adapter unplugged); Reopen opens it
// again by the same name.
#pragma once

#include <memory>
#include <string>

#include "host/transport/endpoint.h"
#include "serial/com_line.h"

namespace zolhost {

class SerialEndpoint : public Endpoint {
public:
    SerialEndpoint() = default;
    ~SerialEndpoint() override;
    SerialEndpoint(const SerialEndpoint&) = delete;
    SerialEndpoint& operator=(const SerialEndpoint&) = delete;

    // Opens `path` exclusively ("COMn" that does not exist is tried under the
    // platform's own name for port n). false with *error naming the path and the
    // system's reason.
    bool Open(const std::string& path, std::string* error);
    // The same as a new endpoint: null with *error when it cannot be opened.
    static std::unique_ptr<SerialEndpoint> Opened(const std::string& path, std::string* error);

    const std::string& Name() const override { return name_; }
    Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) override;
    Io Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) override;
    Io WaitReadable(int timeoutMs, Beside* beside = nullptr) override;  // serial_endpoint_<platform>.cpp
    Io WaitWritable(int timeoutMs, Beside* beside = nullptr) override;
    int PollFd() const override;
    std::intptr_t WaitHandle() override;  // serial_endpoint_<platform>.cpp
    bool Waited() override;               // serial_endpoint_<platform>.cpp
    std::intptr_t RoomHandle() override;  // the line's write in progress ended
    void Close() override;
    Io Reopen() override;
    std::string WhileGone(const std::string& why) const override;

private:
    Io Outcome(Io r, const char* what);

    struct Waiter;  // Windows: the wait on the port's events the link's wait takes
    std::shared_ptr<Waiter> waiter_;
    ComLine* line_ = nullptr;
    bool roomWanted_ = false;  // the last write took not all: the link waits for room
    bool readSinceWake_ = true;  // read since its last wake: else the link has no room for its bytes
    std::string path_;  // as given, for Reopen
    std::string name_;  // as opened
};

}  // namespace zolhost
