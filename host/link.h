// The host end of a link: a serial port opened through the serial OS layer, or
// the host end of a virtual link. Sends (whole, or paced at a line rate) and
// receives with deadlines; optionally traces every byte.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "serial/com_os.h"

namespace zolhost {

using Clock = std::chrono::steady_clock;

class HostLink {
public:
    enum class Rx { Data, Timeout, HungUp, Stopped, Failed };

    HostLink() = default;
    ~HostLink();
    HostLink(const HostLink&) = delete;
    HostLink& operator=(const HostLink&) = delete;

    // Opens the device at `path` exclusively at 115200 8N1, raw, through the
    // serial layer's own opening code ("COMn" that does not exist is tried under
    // the platform's own name for port n).
    // false with *error naming the path and the system's reason.
    bool OpenPort(const std::string& path, std::string* error);
    // Uses a host end opened elsewhere; it stays open when this object goes.
    void Attach(OsHandle h, const std::string& name);

    void SetTrace(bool on, const std::string& label);
    // 0: send whole. Otherwise one byte at a time, 10 bit times apart (8N1).
    void SetPace(std::uint32_t baud) { paceBaud_ = baud; }
    void SetWriteTimeout(int ms) { writeTimeoutMs_ = ms; }
    // Serves a second descriptor in this link's waits, as a terminal beside the
    // link would be (POSIX): onReadable runs whenever it has something, and returns
    // false once it has nothing more to give.
    void ServeBeside(int fd, std::function<bool()> onReadable) {
        sideFd_ = fd;
        onSide_ = std::move(onReadable);
    }

    // Sends all n bytes. false when the link failed or did not take them in time.
    bool Send(const std::uint8_t* p, std::size_t n);
    // Waits until bytes arrive (or the deadline passes) and appends them to *out.
    Rx Receive(std::vector<std::uint8_t>* out, Clock::time_point deadline);
    // Takes whatever has arrived without waiting; returns how many bytes.
    std::size_t Drain(std::vector<std::uint8_t>* out);

    OsHandle Handle() const { return h_; }
    const std::string& Name() const { return name_; }
    const std::string& Error() const { return error_; }

private:
    bool WriteOnce(const std::uint8_t* p, std::size_t n);
    void Trace(char dir, const std::uint8_t* p, std::size_t n);
    Rx ReadAvailable(std::vector<std::uint8_t>* out);
    void ServeSide();

    OsHandle h_ = INVALID_HANDLE_VALUE;
    bool owned_ = false;
    std::string name_;
    std::string error_;
    bool trace_ = false;
    std::string label_;
    std::uint32_t paceBaud_ = 0;
    Clock::time_point nextByte_{};
    int writeTimeoutMs_ = 2000;
    int sideFd_ = -1;
    std::function<bool()> onSide_;
};

// How long a line at `baud` takes for one byte: a start bit, eight data bits and
// a stop bit. Zero for a baud of 0 (no pacing).
inline Clock::duration ByteTime(std::uint32_t baud) {
    return baud == 0 ? Clock::duration::zero()
                     : std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
}

// Seconds since the program started, for traces and timestamps.
double Elapsed();

}  // namespace zolhost
