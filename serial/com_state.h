// The serial port layer's program-wide state. Only the layer itself (com_port.cpp)
// changes it; the unit tests read it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/com_os.h"

// Recorded RTS level meaning "nothing requested since the last open attempt". No
// RTS request can record it, so the first request after an open always goes out.
inline constexpr std::int32_t kRtsNotRequested = 2;

struct ComPortState {
    OsHandle hCom = INVALID_HANDLE_VALUE;     // the open port, or none
    std::int32_t rtsLevel = kRtsNotRequested; // RTS level last requested
    // Settings of the last ComOpen call, saved before it opens anything.
    std::uint32_t nPort = 0;
    std::uint32_t dwBaud = 0;
    std::int32_t cParity = 0;
    std::int32_t nDataBits = 0;
    std::int32_t nStopBits = 0;
    OsMonitor* hThread = nullptr;                  // the monitor thread, none when closed
    // Optional, called by the monitor. ComSetRxHandler may change it while the
    // monitor runs: both sides go through std::atomic_ref.
    void (*pfnRxHandler)(std::uint32_t) = nullptr;
};

extern ComPortState ComPort;

// Bytes of storage the held output takes (its capacity, not its count).
std::size_t ComHeldStorage();
