// Recording fake of the serial OS layer (see fake_os.h).
#include "tests/fake_os.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Handle {
    std::string name;
    OsOpenMode mode;
};

// The write a device's line is sending, when it has a speed.
struct LineWrite {
    std::uint32_t cb = 0;
    Clock::time_point tStart{};
    std::thread::id issuer{};  // the thread whose write it is (see OsMonitorStop)
    Clock::time_point End(std::uint32_t bytesPerSecond) const {
        return tStart + std::chrono::microseconds(std::uint64_t{cb} * 1000000 / bytesPerSecond);
    }
};

struct State {
    std::map<std::string, std::unique_ptr<fake::Device>> devices;
    std::map<int, Handle> handles;
    int nextHandle = 3;
    std::vector<std::string> calls;
    bool failMonitorStart = false;
    int monitors = 0;
    std::uint32_t monitorMask = 0;
    std::map<const fake::Device*, LineWrite> lineWrites;
};

std::recursive_mutex gMutex;
std::mutex gOutputLock;
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

// Bytes of the device's line write not yet on the line.
std::uint32_t LineLeft(const fake::Device& d) {
    const auto it = gState.lineWrites.find(&d);
    if (d.lineBytesPerSecond == 0 || it == gState.lineWrites.end()) {
        return 0;
    }
    if (d.lineStopped) {
        return it->second.cb;
    }
    const auto sent = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - it->second.tStart);
    const std::uint64_t cbSent = static_cast<std::uint64_t>(sent.count()) * d.lineBytesPerSecond / 1000000;
    return cbSent >= it->second.cb ? 0 : it->second.cb - static_cast<std::uint32_t>(cbSent);
}

}  // namespace

struct OsMonitor {
    OsHandle h = INVALID_HANDLE_VALUE;
    bool maskChanged = false;
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

std::vector<std::uint8_t> Written(const std::string& name) {
    std::lock_guard lock(gMutex);
    return gState.devices.at(name)->tx;
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

void fake::SetLineStopped(const std::string& name, bool stopped) {
    {
        std::lock_guard lock(gMutex);
        fake::Device* d = gState.devices.at(name).get();
        const std::uint32_t cbLeft = LineLeft(*d);
        d->lineStopped = stopped;
        if (cbLeft == 0) {
            gState.lineWrites.erase(d);  // nothing in progress: the next write starts one
        } else {
            LineWrite& w = gState.lineWrites[d];
            w.cb = cbLeft;
            w.tStart = Clock::now();
        }
    }
    if (OsMonitor* m = gRunningMonitor) {
        std::lock_guard lock(m->m);
        m->maskChanged = true;
        m->cv.notify_all();
    }
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
        *pcbOutQue = d->txQueued + LineLeft(*d);
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

std::intptr_t OsWritableEvent(OsHandle) {
    return 0;
}

int OsWriteSome(OsHandle h, const void* pBuf, std::uint32_t cb, std::uint32_t* pcbTaken) {
    std::lock_guard lock(gMutex);
    *pcbTaken = 0;
    fake::Device* d = DeviceOf(h);
    if (d == nullptr) {
        return 0;
    }
    if (d->writeFails) {
        tLastError = kErrorWriteFault;
        return 0;
    }
    if (d->lineBytesPerSecond > 0 && LineLeft(*d) > 0) {
        return 1;  // the write in progress has the line: nothing taken
    }
    if (d->takeAtMost > 0) {
        cb = std::min(cb, d->takeAtMost);
    }
    const auto* p = static_cast<const std::uint8_t*>(pBuf);
    d->tx.insert(d->tx.end(), p, p + cb);
    *pcbTaken = cb;
    if (d->lineBytesPerSecond > 0) {
        gState.lineWrites[d] = LineWrite{cb, Clock::now(), std::this_thread::get_id()};
    }
    if (d->writePending || d->lineBytesPerSecond > 0) {
        tLastError = ERROR_IO_PENDING;
        return 0;
    }
    return 1;
}

void OsOutputLock() {
    gOutputLock.lock();
}

void OsOutputUnlock() {
    gOutputLock.unlock();
}

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
    fake::Device* d = DeviceOf(h);
    if (d == nullptr) {
        return 0;
    }
    switch (dwFunc) {
    case SETDTR: d->dtr = true; break;
    case CLRDTR: d->dtr = false; break;
    case SETRTS: d->rts = true; break;
    case CLRRTS: d->rts = false; break;
    default: break;
    }
    return 1;
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
    m->h = h;
    ++gState.monitors;
    gRunningMonitor = m;
    m->thread = std::thread([m, body] { body(m); });
    return m;
}

void OsMonitorRaisePriority(OsMonitor*) {
    std::lock_guard lock(gMutex);
    Record("monitor raise");
}

int OsMonitorSetMask(OsMonitor* m, std::uint32_t dwMask) {
    {
        std::lock_guard lock(gMutex);
        gState.monitorMask = dwMask;
    }
    std::lock_guard lock(m->m);
    m->maskChanged = true;
    m->cv.notify_all();
    return 1;
}

bool OsMonitorWait(OsMonitor* m, std::uint32_t* pdwEvents) {
    std::unique_lock lock(m->m);
    if (m->delivered) {
        m->delivered = false;
        ++m->handled;
        m->cv.notify_all();
    }
    // Room on the line is reported when the line's write has gone out.
    m->maskChanged = false;
    lock.unlock();
    std::optional<Clock::time_point> tRoom;
    {
        std::lock_guard state(gMutex);
        const fake::Device* d = DeviceOf(m->h);
        if ((gState.monitorMask & kOsEvWritable) != 0 && d != nullptr && !d->lineStopped && d->reportsRoom) {
            const auto it = gState.lineWrites.find(d);
            tRoom = it == gState.lineWrites.end() ? Clock::now() : it->second.End(d->lineBytesPerSecond);
        }
    }
    lock.lock();
    const auto woken = [m] { return m->stop || m->pending != 0 || m->maskChanged; };
    if (tRoom) {
        m->cv.wait_until(lock, *tRoom, woken);
    } else {
        m->cv.wait(lock, woken);
    }
    if (m->stop) {
        return false;
    }
    if (!woken()) {
        *pdwEvents = kOsEvWritable;
        return true;
    }
    *pdwEvents = m->pending;
    m->delivered = m->pending != 0;  // a signalled event, counted once dealt with
    m->pending = 0;
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
    const std::thread::id monitorThread = m->thread.get_id();
    m->thread.join();
    std::lock_guard lock(gMutex);
    // As on Windows, the I/O a thread issued is cancelled when the thread ends: the
    // bytes of the monitor's write that were not on the line yet never reach it.
    if (fake::Device* d = DeviceOf(m->h)) {
        const auto it = gState.lineWrites.find(d);
        const std::uint32_t cbLeft = LineLeft(*d);
        if (it != gState.lineWrites.end() && it->second.issuer == monitorThread && cbLeft > 0) {
            d->tx.resize(d->tx.size() - cbLeft);
            gState.lineWrites.erase(it);
            Record("cut " + std::to_string(cbLeft));
        }
    }
    --gState.monitors;
    if (gRunningMonitor == m) {
        gRunningMonitor = nullptr;
    }
    delete m;
}
