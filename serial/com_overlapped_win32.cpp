// The Windows OS layer's overlapped operations: the table of open ports, the end
// of a pending operation, and a free record for a write.
#include "serial/com_overlapped_win32.h"

namespace overlapped {

namespace {

// Ports open at once (the serial layer holds one; tools may hold a few).
constexpr std::size_t kMaxPorts = 16;

// The ports this layer has open, found by handle.
SRWLOCK gPortsLock = SRWLOCK_INIT;
std::array<Port*, kMaxPorts> gPorts{};

}  // namespace

Port* FindPort(HANDLE h) {
    Port* p = nullptr;
    AcquireSRWLockShared(&gPortsLock);
    for (Port* q : gPorts) {
        if (q != nullptr && q->h == h) {
            p = q;
            break;
        }
    }
    ReleaseSRWLockShared(&gPortsLock);
    if (p == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return p;
}

bool AddPort(Port* p) {
    bool added = false;
    AcquireSRWLockExclusive(&gPortsLock);
    for (Port*& q : gPorts) {
        if (q == nullptr) {
            q = p;
            added = true;
            break;
        }
    }
    ReleaseSRWLockExclusive(&gPortsLock);
    return added;
}

void RemovePort(Port* p) {
    AcquireSRWLockExclusive(&gPortsLock);
    for (Port*& q : gPorts) {
        if (q == p) {
            q = nullptr;
        }
    }
    ReleaseSRWLockExclusive(&gPortsLock);
}

void FreePort(Port* p) {
    p->read.Destroy();
    p->push.Destroy();
    for (Transfer& t : p->writes) {
        t.Destroy();
    }
    delete p;
}

BOOL Finish(HANDLE h, Transfer& t, DWORD msLimit, DWORD* pcb) {
    *pcb = 0;
    if (WaitForSingleObject(t.hEvent, msLimit) != WAIT_OBJECT_0) {
        CancelIoEx(h, &t.ov);
    }
    const BOOL fOk = GetOverlappedResult(h, &t.ov, pcb, TRUE);
    t.pending = false;
    return fOk;
}

namespace {

// Frees the write records whose writes have completed.
void ReapWrites(Port& port) {
    for (Transfer& t : port.writes) {
        DWORD cb = 0;
        if (t.pending && HasOverlappedIoCompleted(&t.ov)) {
            GetOverlappedResult(port.h, &t.ov, &cb, FALSE);
            t.pending = false;
        }
    }
}

}  // namespace

Transfer* FreeWriteSlot(Port& port) {
    ReapWrites(port);
    for (Transfer& t : port.writes) {
        if (!t.pending) {
            return &t;
        }
    }
    SetLastError(ERROR_BUSY);
    return nullptr;
}

}  // namespace overlapped
