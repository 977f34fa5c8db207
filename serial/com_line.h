// A port held as a line of its own, with its line settings: the layer's one
// opening sequence (the naming rule and the settings exist once, shared with
// ComOpen), and transfers that never wait, for programs that hold several ports
// at once (zolhost). The OS layer stays underneath: nothing here names it.
#pragma once

#include <cstddef>
#include <cstdint>

// Line settings as ComOpen takes them: parity letter 'N', 'O', 'E', 'M' or 'S'
// (any other value means none), data bits, stop bits 1 or 2. The rest is fixed:
// binary, no flow control, no character translation, DTR and RTS held off.
struct ComLineSettings {
    std::uint32_t dwBaud = 0;
    int cParity = 'N';
    int nDataBits = 0;
    int nStopBits = 0;
};

enum class ComLineMode {
    Exclusive,  // a port another program holds is refused; transfers never wait
    Shared,     // no exclusivity asked for; transfers complete before they return
};

// The outcome of a transfer, or of a wait on a line. The layer's own calls give
// Done, WouldBlock, HungUp or Failed; Timeout and Stopped are for the waits of
// programs that hold lines (zolhost), which speak the same outcome.
enum class ComIo {
    Done,        // the call did all it was asked; a wait: the line is ready
    WouldBlock,  // a read found nothing, or a write is not finished (see ComLineWrite)
    Timeout,     // a wait's time passed first
    HungUp,      // the other end is gone (a pty whose other side closed, a port unplugged)
    Stopped,     // a stop request (Ctrl-C, termination) came first
    Failed,      // ComLineError() says why
};

struct ComLine;  // an open line; its owner closes it

// Opens the port named szName with the settings applied. A name of the form
// "COM<n>" that does not exist is tried again under the platform's own name for
// port n ("\\.\COM<n>"; /dev/ttyS<n-1> on Linux); a port that exists but cannot
// be opened (held by another program, no permission) is not. szOpened (if given,
// cbOpened bytes) receives the name that was opened or tried last. Null on
// failure, ComLineError() telling why; *pfConfigFailed (if given) is set when the
// port opened but refused the settings (nothing is left open then either).
ComLine* ComLineOpen(const char* szName, const ComLineSettings& settings, ComLineMode mode,
                     char* szOpened = nullptr, std::size_t cbOpened = 0, bool* pfConfigFailed = nullptr);
void ComLineClose(ComLine* pLine);
// Lets go of the line without closing it and returns its system handle, which the
// caller then closes with the system's own call: a plain close leaves a mode the
// device holds for another program (exclusive use) as it is.
std::intptr_t ComLineRelease(ComLine* pLine);

// Reads what has arrived, up to cb bytes: Done with *pcbRead > 0, or WouldBlock.
ComIo ComLineRead(ComLine* pLine, void* pBuf, std::uint32_t cb, std::uint32_t* pcbRead);
// Writes cb bytes (cb may be 0) without waiting, never cutting them on the line.
// Done: the system has all of them and nothing of an earlier write is still held.
// WouldBlock: *pcbTaken of them were taken (all of them when the layer holds the
// rest to send whole; none when it still holds an earlier write): once the port
// is writable, write the rest, possibly nothing, again until Done.
ComIo ComLineWrite(ComLine* pLine, const void* pBuf, std::uint32_t cb, std::uint32_t* pcbTaken);
// Error code of the last failed call on this thread: the system's own (errno on
// POSIX), or ERROR_BUSY / ERROR_IO_PENDING of the layer.
std::uint32_t ComLineError();
// The system's handle of the line (a descriptor on POSIX, a HANDLE on Windows),
// for waiting on it with the system's own calls.
std::intptr_t ComLineSystemHandle(const ComLine* pLine);
// Windows: an event set once the line's write in progress has ended, so that a
// WouldBlock write can go on (a manual-reset event that stays set while no write is
// in progress); 0 where there is none (POSIX: poll the system handle for writing).
std::intptr_t ComLineWritableEvent(const ComLine* pLine);
// The settings of the line whose system handle is hSystem as they are now, set by
// whichever program set them last (on POSIX a pty's own end shows those of its
// device end). false with ComLineError() telling why.
bool ComLineSettingsOf(std::intptr_t hSystem, ComLineSettings* pSettings);
