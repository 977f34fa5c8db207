// The output rule, over any line that takes bytes: frames go out whole and in order.
// What the line does not take of a write at once is held here and later writes
// queue up behind it, up to a bound of held bytes; a write that would take the held
// bytes past the bound is refused whole. The held bytes go on as the line makes
// room, on the next write or Push. The port's driver (com_port.cpp, com_line.cpp)
// and zolhost's built-in device (a modelled driver queue) both run this one rule.
//
// A Line offers, with no virtual call:
//   int WriteSome(const unsigned char* p, std::uint32_t cb, std::uint32_t* pcbTaken)
//       nonzero: *pcbTaken bytes (0 to cb) taken and written; 0: see LastError();
//   std::uint32_t LastError()
//       kLinePending: *pcbTaken bytes taken and still being written; anything else:
//       the line failed, nothing taken.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// The bound on held bytes: the queue size the port asks its driver for.
inline constexpr std::uint32_t kHeldOutputBound = 4096;

// The layer's two write outcomes beside the line's own errors, with the values of
// the Windows codes they stand for (ERROR_IO_PENDING, ERROR_BUSY).
inline constexpr std::uint32_t kLinePending = 997;
inline constexpr std::uint32_t kLineRefused = 170;

// Its owner serialises the calls (the port's under OsOutputLock, as its monitor
// pushes too); Held() may be read without.
class HeldOutput {
public:
    // One write: true when the line took and wrote every byte at once; otherwise
    // *pdwError holds kLinePending (taken, or held), kLineRefused (refused whole), or
    // why the line failed (the held bytes go with it).
    template <class Line>
    bool Write(Line&& line, const unsigned char* p, std::uint32_t cb, std::uint32_t bound, std::uint32_t* pdwError);
    // Offers the held bytes to the line. A line that fails takes the held bytes
    // with it: nothing after them could follow whole.
    template <class Line>
    void Push(Line&& line);
    std::uint32_t Held() const { return cbHeld_.load(std::memory_order_acquire); }
    void Drop() {
        if (bytes_.capacity() > 2 * kHeldOutputBound) {
            bytes_ = {};  // one frame larger than the bound was held: its room goes too
        }
        bytes_.clear();
        head_ = 0;
        cbHeld_.store(0, std::memory_order_release);
    }
    // Bytes of storage it takes (its capacity, not its count).
    std::size_t Storage() const { return bytes_.capacity(); }

private:
    // The bytes the line took leave the storage before new ones join it: a line
    // that takes a little at a time never lets the held bytes run out, and the
    // storage must not keep every frame ever held meanwhile. It stays within the
    // bound on the held bytes (or one frame larger than that).
    void Hold(const unsigned char* p, std::uint32_t cb) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
        bytes_.insert(bytes_.end(), p, p + cb);
        cbHeld_.store(static_cast<std::uint32_t>(bytes_.size()), std::memory_order_release);
    }

    std::vector<unsigned char> bytes_;  // held bytes start at bytes_[head_]
    std::size_t head_ = 0;
    std::atomic<std::uint32_t> cbHeld_{0};
};

template <class Line>
void HeldOutput::Push(Line&& line) {
    const std::uint32_t cbHeld = Held();
    if (cbHeld == 0) {
        return;
    }
    std::uint32_t cbTaken = 0;
    if (!line.WriteSome(bytes_.data() + head_, cbHeld, &cbTaken) && line.LastError() != kLinePending) {
        Drop();
        return;
    }
    head_ += cbTaken;
    cbHeld_.store(cbHeld - cbTaken, std::memory_order_release);
    if (cbTaken == cbHeld) {
        Drop();
    }
}

template <class Line>
bool HeldOutput::Write(Line&& line, const unsigned char* p, std::uint32_t cb, std::uint32_t bound,
                       std::uint32_t* pdwError) {
    Push(line);
    *pdwError = kLinePending;
    const std::uint32_t cbHeld = Held();
    if (cbHeld > 0) {
        if (cbHeld + static_cast<std::uint64_t>(cb) > bound) {
            *pdwError = kLineRefused;
        } else {
            Hold(p, cb);
        }
        return false;
    }
    std::uint32_t cbTaken = 0;
    const int fOk = line.WriteSome(p, cb, &cbTaken);
    const std::uint32_t dwError = fOk ? 0 : line.LastError();
    if (!fOk && dwError != kLinePending) {
        *pdwError = dwError;
        return false;
    }
    if (cbTaken < cb) {
        Hold(p + cbTaken, cb - cbTaken);  // a frame begun is finished, whatever its size
        return false;
    }
    return fOk != 0;
}
