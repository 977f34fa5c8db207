// The layer's rules on OS handles, as ComOpen and ComLineOpen (and the rest of
// com_port.h and com_line.h) use them inside the layer: the opening sequence, the
// output rule and the closing rule. Their bodies are in com_port.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/com_line.h"
#include "serial/com_os.h"
#include "serial/held_output.h"

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

// The output rule (held_output.h) on a port's handle.
static_assert(kLinePending == ERROR_IO_PENDING && kLineRefused == ERROR_BUSY);
struct OsLine {
    OsHandle h;
    int WriteSome(const unsigned char* p, std::uint32_t cb, std::uint32_t* pcbTaken) const {
        return OsWriteSome(h, p, cb, pcbTaken);
    }
    std::uint32_t LastError() const { return OsLastError(); }
};

// The closing rule: output on its way (held, and in the driver's queue) gets a
// moment to reach the line; a line that does not take it in that time is not
// waited for, and what it did not take is dropped. Then the handle is closed.
void ComCloseHandle(OsHandle h, HeldOutput* held);
