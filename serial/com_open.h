// The layer's rules on OS handles, as ComOpen and ComLineOpen (and the rest of
// com_port.h and com_line.h) use them inside the layer: the opening sequence, the
// output rule and the closing rule. Their bodies are in com_port.cpp.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "serial/com_line.h"
#include "serial/com_os.h"

// Opens the port named szName. A name of the form "COM<n>" that does not exist
// is tried again under the platform's own name for port n ("\\.\COM<n>";
// /dev/ttyS<n-1> on Linux); a port that exists but cannot be opened (held by
// another program, no permission) is not. szOpened (if given, cbOpened bytes)
// receives the name that was opened or tried last. INVALID_HANDLE_VALUE on
// failure, OsLastError() telling why.
OsHandle ComOpenName(const char* szName, OsOpenMode mode, char* szOpened = nullptr, std::size_t cbOpened = 0);

// Applies the settings to an open port, built from scratch (its earlier settings
// are not read). Nonzero on success; 0 for stop bits other than 1 or 2, or
// settings the port refuses (OsLastError() then says why).
int ComApplyLine(OsHandle h, const ComLineSettings& settings);

// Both: the port opened and its settings applied, or INVALID_HANDLE_VALUE with
// nothing left open.
OsHandle ComOpenLine(const char* szName, const ComLineSettings& settings, OsOpenMode mode,
                     char* szOpened = nullptr, std::size_t cbOpened = 0);

// The output rule: frames go out whole and in order. What the driver does not take
// of a write at once is held here and later writes queue up behind it, up to a
// bound of held bytes; a write that would take the held bytes past the bound is
// refused whole. The held bytes go on as the driver makes room, on the next write
// or Push. Its owner serialises the calls (the port's under OsOutputLock, as its
// monitor pushes too); Held() may be read without.
class HeldOutput {
public:
    // One write: true when the driver took and wrote every byte at once; otherwise
    // *pdwError holds a code of OsLastError(): ERROR_IO_PENDING (taken, or held),
    // ERROR_BUSY (refused whole), or why the port failed (the held bytes go with it).
    bool Write(OsHandle h, const unsigned char* p, std::uint32_t cb, std::uint32_t bound, std::uint32_t* pdwError);
    // Offers the held bytes to the driver.
    void Push(OsHandle h);
    std::uint32_t Held() const { return cbHeld_.load(std::memory_order_acquire); }
    void Drop();
    // Bytes of storage it takes (its capacity, not its count).
    std::size_t Storage() const { return bytes_.capacity(); }

private:
    void Hold(const unsigned char* p, std::uint32_t cb);

    std::vector<unsigned char> bytes_;  // held bytes start at bytes_[head_]
    std::size_t head_ = 0;
    std::atomic<std::uint32_t> cbHeld_{0};
};

// The closing rule: output on its way (held, and in the driver's queue) gets a
// moment to reach the line; a line that does not take it in that time is not
// waited for, and what it did not take is dropped. Then the handle is closed.
void ComCloseHandle(OsHandle h, HeldOutput* held);
