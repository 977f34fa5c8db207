// The layer's opening sequence on OS handles: com_line.h's functions as ComOpen
// and ComLineOpen use them inside the layer.
#pragma once

#include <cstddef>

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
