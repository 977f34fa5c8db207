// Opening a port as a handle of its own, with its line settings: the layer's one
// opening sequence, used by ComOpen for the program's port and by programs that
// hold several ports at once (zolhost), so the naming rule and the settings exist
// once. Transfers on the handle then go through the OS layer (com_os.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/com_os.h"

// Line settings as ComOpen takes them: parity letter 'N', 'O', 'E', 'M' or 'S'
// (any other value means none), data bits, stop bits 1 or 2. The rest is fixed:
// binary, no flow control, no character translation, DTR and RTS held off.
struct ComLineSettings {
    std::uint32_t dwBaud = 115200;
    int cParity = 'N';
    int nDataBits = 8;
    int nStopBits = 1;
};

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
