// The Windows OS layer's overlapped operations (com_os_win32.cpp): a record per
// operation, never reused while its operation is pending, the records each open
// port keeps, the table of the ports the layer has open, and the end of a pending
// operation.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "serial/com_os.h"

namespace overlapped {

// Writes that may be in progress at once on an exclusive port. A write that finds
// all of them still in progress (the line has stopped taking bytes) is refused
// whole, at once: nothing waits for the line.
constexpr std::size_t kWriteSlots = 8;

// One overlapped operation: its record, its event, and whether it is pending.
struct Transfer {
    OVERLAPPED ov{};
    HANDLE hEvent = nullptr;
    bool pending = false;
    // Writes only: the bytes being written, owned until the write completes.
    std::unique_ptr<unsigned char[]> pBuf;
    std::uint32_t cbBuf = 0;
    std::uint32_t cbIssued = 0;  // the push record's: bytes its last write was given
    std::uint32_t cbOwed = 0;    // the push record's: bytes at the front of pBuf still to send

    bool Create() {
        hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return hEvent != nullptr;
    }
    void Destroy() {
        if (hEvent != nullptr) {
            CloseHandle(hEvent);
            hEvent = nullptr;
        }
    }
    // Copies the bytes to write into the record's own buffer.
    bool Copy(const void* p, std::uint32_t cb) {
        if (pBuf == nullptr || cbBuf < cb) {
            const std::uint32_t cbNew = std::max<std::uint32_t>(cb, 64);
            pBuf.reset(new (std::nothrow) unsigned char[cbNew]);
            cbBuf = pBuf != nullptr ? cbNew : 0;
            if (pBuf == nullptr) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return false;
            }
        }
        if (cb > 0) {
            std::memcpy(pBuf.get(), p, cb);
        }
        return true;
    }
    // A fresh record for the next operation.
    OVERLAPPED* Arm() {
        std::memset(&ov, 0, sizeof ov);
        ov.hEvent = hEvent;
        ResetEvent(hEvent);
        return &ov;
    }
};

struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    OsOpenMode mode = OsOpenMode::Exclusive;
    Transfer read;
    std::array<Transfer, kWriteSlots> writes;
    Transfer push;  // OsWriteSome's
};

// The port of handle h, or null (ERROR_INVALID_HANDLE) when the layer has none
// open by that handle.
Port* FindPort(HANDLE h);
// Puts p in the table: false when it is full.
bool AddPort(Port* p);
void RemovePort(Port* p);
// Frees p and its records' events; none of its operations may be pending.
void FreePort(Port* p);

// Waits for a pending operation to end, cancelling it if it has not ended within
// msLimit (INFINITE: no limit). Afterwards the system no longer uses its record or
// buffer. *pcb: bytes transferred, including those of a cancelled operation.
// Returns the operation's own result.
BOOL Finish(HANDLE h, Transfer& t, DWORD msLimit, DWORD* pcb);

// A free write record of the port, or none (ERROR_BUSY) when every one holds a
// write still in progress.
Transfer* FreeWriteSlot(Port& port);

}  // namespace overlapped
