// Lines held by a program of their own: the opening sequence, the output rule and
// the closing rule of com_port.cpp over the OS layer's transfers, with their
// outcomes in one convention.
#include "serial/com_line.h"

#include <new>
#include <type_traits>

#include "serial/com_open.h"

struct ComLine {
    OsHandle h;
    HeldOutput held;  // what the driver did not take yet of the last write
};

namespace {

// Windows codes for an end that has gone, as OsWindowsError gives them.
constexpr std::uint32_t kBrokenPipe = 109;        // ERROR_BROKEN_PIPE
constexpr std::uint32_t kAborted = 995;           // ERROR_OPERATION_ABORTED
constexpr std::uint32_t kNotConnected = 1167;     // ERROR_DEVICE_NOT_CONNECTED

thread_local std::uint32_t tLastError = 0;

// A descriptor (POSIX) or a HANDLE (Windows) as an integer.
template <class H>
std::intptr_t AsInteger(H h) {
    if constexpr (std::is_pointer_v<H>) {
        return reinterpret_cast<std::intptr_t>(h);
    } else {
        return static_cast<std::intptr_t>(h);
    }
}

template <class H>
H FromInteger(std::intptr_t v) {
    if constexpr (std::is_pointer_v<H>) {
        return reinterpret_cast<H>(v);
    } else {
        return static_cast<H>(v);
    }
}

ComIo HangUpOrFailure(std::uint32_t error) {
    const std::uint32_t code = OsWindowsError(error);
    return code == kBrokenPipe || code == kAborted || code == kNotConnected ? ComIo::HungUp : ComIo::Failed;
}

ComIo Failure() {
    tLastError = OsLastError();
    return HangUpOrFailure(tLastError);
}

}  // namespace

ComLine* ComLineOpen(const char* szName, const ComLineSettings& settings, ComLineMode mode, char* szOpened,
                     std::size_t cbOpened, bool* pfConfigFailed) {
    if (pfConfigFailed != nullptr) {
        *pfConfigFailed = false;
    }
    const OsOpenMode osMode = mode == ComLineMode::Exclusive ? OsOpenMode::Exclusive : OsOpenMode::Shared;
    const OsHandle h = ComOpenName(szName, osMode, szOpened, cbOpened);
    if (h == INVALID_HANDLE_VALUE) {
        tLastError = OsLastError();
        return nullptr;
    }
    if (!ComApplyLine(h, settings)) {
        tLastError = OsLastError();
        if (pfConfigFailed != nullptr) {
            *pfConfigFailed = true;
        }
        OsClose(h);
        return nullptr;
    }
    ComLine* pLine = new (std::nothrow) ComLine{h, {}};
    if (pLine == nullptr) {
        OsClose(h);
        tLastError = OsWindowsError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return pLine;
}

void ComLineClose(ComLine* pLine) {
    if (pLine != nullptr) {
        ComCloseHandle(pLine->h, &pLine->held);
        delete pLine;
    }
}

std::intptr_t ComLineRelease(ComLine* pLine) {
    const std::intptr_t handle = ComLineSystemHandle(pLine);
    delete pLine;
    return handle;
}

ComIo ComLineRead(ComLine* pLine, void* pBuf, std::uint32_t cb, std::uint32_t* pcbRead) {
    *pcbRead = 0;
    if (!OsRead(pLine->h, pBuf, cb, pcbRead)) {
        return Failure();
    }
    return *pcbRead > 0 ? ComIo::Done : ComIo::WouldBlock;
}

// The port's output rule, with nothing queued behind held bytes: while some are
// held, a write takes none of its own and pushes them on.
ComIo ComLineWrite(ComLine* pLine, const void* pBuf, std::uint32_t cb, std::uint32_t* pcbTaken) {
    *pcbTaken = 0;
    std::uint32_t dwError = 0;
    if (pLine->held.Write(OsLine{pLine->h}, static_cast<const unsigned char*>(pBuf), cb, 0, &dwError)) {
        *pcbTaken = cb;
        return ComIo::Done;
    }
    switch (dwError) {
    case ERROR_IO_PENDING:
        *pcbTaken = cb;  // the layer sends the rest whole, as the line takes it
        tLastError = ERROR_IO_PENDING;
        return ComIo::WouldBlock;
    case ERROR_BUSY:
        tLastError = ERROR_BUSY;  // an earlier write is still held: none of these went
        return ComIo::WouldBlock;
    default:
        tLastError = dwError;
        return HangUpOrFailure(tLastError);
    }
}

std::uint32_t ComLineError() {
    return tLastError;
}

std::intptr_t ComLineSystemHandle(const ComLine* pLine) {
    return AsInteger(pLine->h);
}

std::intptr_t ComLineWritableEvent(const ComLine* pLine) {
    return OsWritableEvent(pLine->h);
}

bool ComLineSettingsOf(std::intptr_t hSystem, ComLineSettings* pSettings) {
    DCB dcb{};
    if (!OsGetCommState(FromInteger<OsHandle>(hSystem), &dcb)) {
        tLastError = OsLastError();
        return false;
    }
    ComLineSettings s;
    s.dwBaud = dcb.BaudRate;
    s.nDataBits = dcb.ByteSize;
    s.nStopBits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    constexpr char kLetters[] = "NOEMS";  // NOPARITY .. SPACEPARITY
    s.cParity = dcb.fParity && dcb.Parity < sizeof kLetters - 1 ? kLetters[dcb.Parity] : 'N';
    *pSettings = s;
    return true;
}
