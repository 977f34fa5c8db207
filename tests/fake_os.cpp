// Recording fake of the serial OS layer (see fake_os.h).
#include "tests/fake_os.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

struct Handle {
    std::string name;
    OsOpenMode mode;
};

struct State {
    std::map<std::string, std::unique_ptr<fake::Device>> devices;
    std::map<int, Handle> handles;
    int nextHandle = 3;
    std::vector<std::string> calls;
    bool failMonitorStart = false;
    int monitors = 0;
    std::uint32_t monitorMask = 0;
};

std::recursive_mutex gMutex;
State gState;
thread_local std::uint32_t tLastError = 0;

constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::uint32_t kErrorNotFound = 2;
constexpr std::uint32_t kErrorBusy = 5;
constexpr std::uint32_t kErrorWriteFault = 29;

void Record(std::string line) {
    gState.calls.push_back(std::move(line));
}

fake::Device* DeviceOf(OsHandle h) {
    const auto it = gState.handles.find(h);
    if (it == gState.handles.end()) {
        tLastError = kErrorInvalidHandle;
        return nullptr;
    }
    return gState.devices.at(it->second.name).get();
}

const char* EscapeName(std::uint32_t dwFunc) {
    switch (dwFunc) {
    case SETRTS: return "SETRTS";
    case CLRRTS: return "CLRRTS";
    case SETDTR: return "SETDTR";
    case CLRDTR: return "CLRDTR";
    case SETBREAK: return "SETBREAK";
    case CLRBREAK: return "CLRBREAK";
    default: return "?";
    }
}

}  // namespace

struct OsMonitor {
    std::thread thread;
    std::mutex m;
    std::condition_variable cv;
    bool stop = false;
    std::uint32_t pending = 0;
    bool delivered = false;  // the body is dealing with the events of the last wait
    int handled = 0;
};

namespace fake {

void Reset() {
    std::lock_guard lock(gMutex);
    gState = State{};
}

Device& AddDevice(const std::string& name) {
    std::lock_guard lock(gMutex);
    auto& slot = gState.devices[name];
    slot = std::make_unique<Device>();
    return *slot;
}

Device& GetDevice(const std::string& name) {
    std::lock_guard lock(gMutex);
    return *gState.devices.at(name);
}

std::vector<std::string> Calls() {
    std::lock_guard lock(gMutex);
    return gState.calls;
}

void ClearCalls() {
    std::lock_guard lock(gMutex);
    gState.calls.clear();
}

int OpenHandles() {
    std::lock_guard lock(gMutex);
    return static_cast<int>(gState.handles.size());
}

int RunningMonitors() {
    std::lock_guard lock(gMutex);
    return gState.monitors;
}

void FailNextMonitorStart() {
    std::lock_guard lock(gMutex);
    gState.failMonitorStart = true;
}

std::uint32_t MonitorMask() {
    std::lock_guard lock(gMutex);
    return gState.monitorMask;
}

}  // namespace fake

namespace {
OsMonitor* gRunningMonitor = nullptr;
}

void fake::SignalMonitor(std::uint32_t dwEvents) {
    OsMonitor* m = gRunningMonitor;
    if (m == nullptr) {
        return;
    }
    std::unique_lock lock(m->m);
    const int before = m->handled;
    m->pending |= dwEvents;
    m->cv.notify_all();
    // The monitor counts an event once its body has dealt with it and waits again.
    m->cv.wait(lock, [&] { return m->handled > before || m->stop; });
}

bool OsNativePortName(std::uint32_t nPort, char* szBuff, std::size_t cbBuff) {
    if (nPort == 0) {
        return false;
    }
    const int n = std::snprintf(szBuff, cbBuff, "/dev/ttyS%lu", static_cast<unsigned long>(nPort - 1));
    return n > 0 && static_cast<std::size_t>(n) < cbBuff;
}

OsHandle OsOpen(const char* szName, OsOpenMode mode) {
    std::lock_guard lock(gMutex);
    const bool exclusive = mode == OsOpenMode::Exclusive;
    Record(std::string("open ") + szName + (exclusive ? " exclusive" : " shared"));
    const auto it = gState.devices.find(szName);
    if (it == gState.devices.end()) {
        tLastError = kErrorNotFound;
        return INVALID_HANDLE_VALUE;
    }
    const bool held = std::any_of(gState.handles.begin(), gState.handles.end(),
                                  [&](const auto& kv) { return kv.second.name == szName; });
    if (exclusive && (it->second->busy || held)) {
        tLastError = kErrorBusy;
        return INVALID_HANDLE_VALUE;
    }
    const int h = gState.nextHandle++;
    gState.handles[h] = Handle{szName, mode};
    return h;
}

void OsClose(OsHandle h) {
    std::lock_guard lock(gMutex);
    const auto it = gState.handles.find(h);
    Record("close " + (it == gState.handles.end() ? std::string("?") : it->second.name));
    if (it != gState.handles.end()) {
        gState.handles.erase(it);
    }
}

int OsSetupComm(OsHandle h, std::uint32_t dwInQueue, std::uint32_t dwOutQueue) {
    std::lock_guard lock(gMutex);
    Record("setupcomm " + std::to_string(dwInQueue) + " " + std::to_string(dwOutQueue));
    return DeviceOf(h) != nullptr ? 1 : 0;
}

int OsGetCommState(OsHandle h, DCB* pDcb) {
    std::lock_guard lock(gMutex);
    Record("getstate");
    fake::Device* d = DeviceOf(h);
    if (d == nullptr || !d->terminal) {
        return 0;
    }
    *pDcb = d->dcb;
    return 1;
}

int OsSetCommState(OsHandle h, const DCB* pDcb) {
    std::lock_guard lock(gMutex);
    Record("setstate");
    fake::Device* d = DeviceOf(h);
    if (d == nullptr || !d->terminal || (pDcb->fRtsControl == RTS_CONTROL_TOGGLE && !d->toggleSupported)) {
        return 0;
    }
    d->dcb = *pDcb;
    return 1;
}

int OsClearCommError(OsHandle h, std::uint32_t* pcbInQue, std::uint32_t* pcbOutQue) {
    std::lock_guard lock(gMutex);
    fake::Device* d = DeviceOf(h);
    if (d == nullptr) {
        return 0;
    }
    if (pcbInQue != nullptr) {
        *pcbInQue = static_cast<std::uint32_t>(d->rx.size());
        if (d->logTransfers) {
            d->transfers.push_back({fake::Transfer::Kind::Count, *pcbInQue, 0});
        }
    }
    if (pcbOutQue != nullptr) {
        *pcbOutQue = d->txQueued;
    }
    return 1;
}

int OsInputWaiting(OsHandle h) {
    std::lock_guard lock(gMutex);
    const fake::Device* d = DeviceOf(h);
    return d != nullptr && !d->rx.empty() ? 1 : 0;
}

int OsRead(OsHandle h, void* pBuf, std::uint32_t cb, std::uint32_t* pcbRead) {
    std::lock_guard lock(gMutex);
    *pcbRead = 0;
    fake::Device* d = DeviceOf(h);
    if (d == nullptr) {
        return 0;
    }
    if (d->readsBeforeFailure == 0) {
        if (d->logTransfers) {
            d->transfers.push_back({fake::Transfer::Kind::Read, cb, 0});
        }
        tLastError = kErrorWriteFault;
        return 0;
    }
    if (d->readsBeforeFailure > 0) {
        --d->readsBeforeFailure;
    }
    auto* p = static_cast<std::uint8_t*>(pBuf);
    while (*pcbRead < cb && !d->rx.empty()) {
        p[(*pcbRead)++] = d->rx.front();
        d->rx.pop_front();
    }
    if (d->logTransfers) {
        d->transfers.push_back({fake::Transfer::Kind::Read, cb, *pcbRead});
    }
    return 1;
}

int OsWrite(OsHandle h, const void* pBuf, std::uint32_t cb) {
    std::lock_guard lock(gMutex);
    fake::Device* d = DeviceOf(h);
    if (d == nullptr) {
        return 0;
    }
    if (d->writeFails) {
        tLastError = kErrorWriteFault;
        return 0;
    }
    const auto* p = static_cast<const std::uint8_t*>(pBuf);
    d->tx.insert(d->tx.end(), p, p + cb);
    if (d->writePending) {
        tLastError = ERROR_IO_PENDING;
        return 0;
    }
    return 1;
}

void OsContinueWrite(OsHandle) {}

std::uint32_t OsLastError() {
    return tLastError;
}

std::uint32_t OsWindowsError(std::uint32_t code) {
    return code;  // the fake speaks Windows codes already
}

bool OsNameMissing(std::uint32_t code) {
    return code == kErrorNotFound;
}

int OsPurgeComm(OsHandle h, std::uint32_t dwFlags) {
    std::lock_guard lock(gMutex);
    Record("purge " + std::to_string(dwFlags));
    fake::Device* d = DeviceOf(h);
    if (d == nullptr) {
        return 0;
    }
    if ((dwFlags & PURGE_RXCLEAR) != 0) {
        d->rx.clear();
    }
    if ((dwFlags & PURGE_TXCLEAR) != 0) {
        d->txQueued = 0;
    }
    return 1;
}

int OsEscapeCommFunction(OsHandle h, std::uint32_t dwFunc) {
    std::lock_guard lock(gMutex);
    Record(std::string("escape ") + EscapeName(dwFunc));
    return DeviceOf(h) != nullptr ? 1 : 0;
}

int OsGetCommModemStatus(OsHandle h, std::uint32_t* pdwStatus) {
    std::lock_guard lock(gMutex);
    fake::Device* d = DeviceOf(h);
    if (d == nullptr) {
        return 0;
    }
    *pdwStatus = d->modemStatus;
    return 1;
}

OsMonitor* OsMonitorStart(OsHandle h, std::uint32_t dwMask, OsMonitorBody body) {
    std::lock_guard lock(gMutex);
    Record("monitor start");
    if (gState.failMonitorStart || DeviceOf(h) == nullptr) {
        gState.failMonitorStart = false;
        return nullptr;
    }
    gState.monitorMask = dwMask;
    auto* m = new OsMonitor;
    ++gState.monitors;
    gRunningMonitor = m;
    m->thread = std::thread([m, body] { body(m); });
    return m;
}

void OsMonitorRaisePriority(OsMonitor*) {
    std::lock_guard lock(gMutex);
    Record("monitor raise");
}

int OsMonitorSetMask(OsMonitor*, std::uint32_t dwMask) {
    std::lock_guard lock(gMutex);
    gState.monitorMask = dwMask;
    return 1;
}

bool OsMonitorWait(OsMonitor* m, std::uint32_t* pdwEvents) {
    std::unique_lock lock(m->m);
    if (m->delivered) {
        m->delivered = false;
        ++m->handled;
        m->cv.notify_all();
    }
    m->cv.wait(lock, [m] { return m->stop || m->pending != 0; });
    if (m->stop) {
        return false;
    }
    *pdwEvents = m->pending;
    m->pending = 0;
    m->delivered = true;
    return true;
}

void OsMonitorStop(OsMonitor* m) {
    {
        std::lock_guard lock(gMutex);
        Record("monitor stop");
    }
    {
        std::lock_guard lock(m->m);
        m->stop = true;
        m->cv.notify_all();
    }
    m->thread.join();
    std::lock_guard lock(gMutex);
    --gState.monitors;
    if (gRunningMonitor == m) {
        gRunningMonitor = nullptr;
    }
    delete m;
}
