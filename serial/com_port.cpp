// The serial port layer's rules: opening and its two name forms, the line settings
// built from scratch, the parity and stop-bit tables, the saved settings, the RTS
// level bookkeeping, the output rule and the monitor loop. The OS layer (com_os.h)
// only carries the calls, so every platform follows the same rules.
#include "serial/com_port.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "serial/com_open.h"
#include "serial/com_state.h"

ComPortState ComPort;

namespace {

constexpr std::uint32_t kQueueSize = kHeldOutputBound;
// The port-name buffer holds the longer name form of an eight-digit port number.
constexpr std::uint32_t kMaxPortNumber = 99999999;
constexpr std::size_t kMaxPortDigits = 8;
constexpr std::size_t kPortNameSize = 32;

// How long closing gives output on its way to reach the line: enough for a reply
// written just before, no wait on a line that has stopped.
constexpr auto kCloseDrainLimit = std::chrono::milliseconds(20);

HeldOutput gOut;  // the port's, whose room the monitor watches for
bool gWatching = false;

// Events the monitor thread waits for. Arriving bytes concern it only when there
// is a handler to tell, and EV_TXEMPTY never does: without a handler and with
// nothing held it waits for no port event at all, only for a change or the close,
// so it never takes a core from the thread that reads and writes the bytes.
using RxHandler = void (*)(std::uint32_t);

RxHandler CurrentRxHandler() {
    return std::atomic_ref<RxHandler>(ComPort.pfnRxHandler).load();
}

// Called under OsOutputLock.
std::uint32_t MonitorMask() {
    return (CurrentRxHandler() != nullptr ? EV_RXCHAR | EV_TXEMPTY : 0) | (gWatching ? kOsEvWritable : 0);
}

// Under OsOutputLock: the monitor waits for room exactly while bytes are held.
void Watch() {
    const bool on = gOut.Held() > 0;
    if (gWatching != on) {
        gWatching = on;
        if (ComPort.hThread != nullptr) {
            OsMonitorSetMask(ComPort.hThread, MonitorMask());
        }
    }
}

// The output rule for one write of the port's: true when the driver took and
// wrote every byte at once; otherwise *pdwError as HeldOutput::Write gives it.
bool WriteFrame(const unsigned char* p, std::uint32_t cb, std::uint32_t* pdwError) {
    OsOutputLock();
    const bool done = gOut.Write(OsLine{ComPort.hCom}, p, cb, kQueueSize, pdwError);
    Watch();
    OsOutputUnlock();
    return done;
}

void ComMonitor(OsMonitor* pMonitor) {
    std::uint32_t dwEvents = 0;
    while (OsMonitorWait(pMonitor, &dwEvents)) {
        if ((dwEvents & (kOsEvWritable | EV_ERR)) != 0) {
            OsOutputLock();
            gOut.Push(OsLine{ComPort.hCom});
            Watch();
            OsOutputUnlock();
        }
        if ((dwEvents & EV_RXCHAR) == 0) {
            continue;  // EV_TXEMPTY and every other event are taken and ignored
        }
        std::uint32_t cbInQue = 0;
        OsClearCommError(ComPort.hCom, &cbInQue, nullptr);
        const RxHandler pfnRxHandler = CurrentRxHandler();
        if (cbInQue > 0 && pfnRxHandler != nullptr) {
            pfnRxHandler(cbInQue);
        }
    }
}

// Starts the monitor on the open port and raises its priority. On failure the
// caller closes the port.
bool StartMonitor() {
    OsOutputLock();
    const std::uint32_t dwMask = MonitorMask();
    OsOutputUnlock();
    ComPort.hThread = OsMonitorStart(ComPort.hCom, dwMask, ComMonitor);
    if (ComPort.hThread == nullptr) {
        return false;
    }
    OsMonitorRaisePriority(ComPort.hThread);
    return true;
}

// Parity letter -> (fParity, Parity). Upper case only; anything else means none.
void ApplyParity(DCB& dcb, int parity) {
    switch (parity) {
    case 'E': dcb.fParity = 1; dcb.Parity = EVENPARITY; break;
    case 'M': dcb.fParity = 1; dcb.Parity = MARKPARITY; break;
    case 'O': dcb.fParity = 1; dcb.Parity = ODDPARITY; break;
    case 'S': dcb.fParity = 1; dcb.Parity = SPACEPARITY; break;
    default:  dcb.fParity = 0; dcb.Parity = NOPARITY; break;
    }
}

// Stop bits 1 or 2; false for any other count.
bool ApplyStopBits(DCB& dcb, int stopBits) {
    switch (stopBits) {
    case 1: dcb.StopBits = ONESTOPBIT; return true;
    case 2: dcb.StopBits = TWOSTOPBITS; return true;
    default: return false;
    }
}

// "COM<n>" with one to eight digits -> n; anything else -> false.
bool PortNumberOf(const char* szName, std::uint32_t* pnPort) {
    if (szName[0] != 'C' || szName[1] != 'O' || szName[2] != 'M' || szName[3] == '\0') {
        return false;
    }
    std::uint32_t n = 0;
    std::size_t digits = 0;
    for (const char* p = szName + 3; *p != '\0'; ++p, ++digits) {
        if (*p < '0' || *p > '9' || digits == kMaxPortDigits) {
            return false;
        }
        n = n * 10 + static_cast<std::uint32_t>(*p - '0');
    }
    *pnPort = n;
    return true;
}

void CopyName(const char* szName, char* szOut, std::size_t cbOut) {
    if (szOut != nullptr && cbOut > 0) {
        std::snprintf(szOut, cbOut, "%s", szName);
    }
}

std::uint32_t InQueue() {
    std::uint32_t cbInQue = 0;
    if (!OsClearCommError(ComPort.hCom, &cbInQue, nullptr)) {
        return 0;  // below the frame length, so a frame hunt ends at once
    }
    return cbInQue;
}

// The driver's output queue and the bytes held before it. The held count is read
// first: bytes that move into the driver meanwhile are counted twice, never not at all.
std::uint32_t OutQueue() {
    const std::uint32_t cbHeld = gOut.Held();
    std::uint32_t cbOutQue = 0;
    if (!OsClearCommError(ComPort.hCom, nullptr, &cbOutQue)) {
        return cbHeld;
    }
    return cbHeld + cbOutQue;
}

}  // namespace

namespace {

// Gives output on its way (held, and in the driver's queue) up to kCloseDrainLimit
// to reach the line.
void DrainOutput(OsHandle h, HeldOutput* held) {
    const auto tEnd = std::chrono::steady_clock::now() + kCloseDrainLimit;
    for (;;) {
        OsOutputLock();
        held->Push(OsLine{h});
        const std::uint32_t cbHeld = held->Held();
        OsOutputUnlock();
        std::uint32_t cbOutQue = 0;
        const bool gone = cbHeld == 0 && (!OsClearCommError(h, nullptr, &cbOutQue) || cbOutQue == 0);
        if (gone || std::chrono::steady_clock::now() >= tEnd) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// What the line did not take in time goes with the port, so that closing does
// not wait for it either.
void DiscardAndClose(OsHandle h, HeldOutput* held) {
    OsOutputLock();
    std::uint32_t cbOutQue = 0;
    if (held->Held() > 0 || (OsClearCommError(h, nullptr, &cbOutQue) && cbOutQue > 0)) {
        OsPurgeComm(h, PURGE_TXCLEAR);
    }
    held->Drop();
    OsOutputUnlock();
    OsClose(h);
}

}  // namespace

void ComCloseHandle(OsHandle h, HeldOutput* held) {
    DrainOutput(h, held);
    DiscardAndClose(h, held);
}

OsHandle ComOpenName(const char* szName, OsOpenMode mode, char* szOpened, std::size_t cbOpened) {
    OsHandle h = OsOpen(szName, mode);
    CopyName(szName, szOpened, cbOpened);
    // The platform's own name is tried only when the first does not exist: a port
    // that exists but is busy or refused must not send us to another device.
    char szNative[kPortNameSize];
    std::uint32_t nPort = 0;
    if (h == INVALID_HANDLE_VALUE && OsNameMissing(OsLastError()) && PortNumberOf(szName, &nPort) &&
        OsNativePortName(nPort, szNative, sizeof szNative)) {
        h = OsOpen(szNative, mode);
        CopyName(szNative, szOpened, cbOpened);
    }
    return h;
}

int ComApplyLine(OsHandle h, const ComLineSettings& settings) {
    OsSetupComm(h, kQueueSize, kQueueSize);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = settings.dwBaud;
    dcb.fBinary = 1;
    dcb.ByteSize = static_cast<std::uint8_t>(settings.nDataBits);
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ApplyParity(dcb, settings.cParity);
    if (!ApplyStopBits(dcb, settings.nStopBits) || !OsSetCommState(h, &dcb)) {
        return 0;
    }
    // Both lines held off, whatever the device had them at, also where the driver
    // takes the settings without changing the lines (ptys refuse the commands:
    // they have no lines to change).
    OsEscapeCommFunction(h, CLRDTR);
    OsEscapeCommFunction(h, CLRRTS);
    return 1;
}

OsHandle ComOpenLine(const char* szName, const ComLineSettings& settings, OsOpenMode mode, char* szOpened,
                     std::size_t cbOpened) {
    const OsHandle h = ComOpenName(szName, mode, szOpened, cbOpened);
    if (h != INVALID_HANDLE_VALUE && !ComApplyLine(h, settings)) {
        OsClose(h);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

int ComOpen(std::uint32_t port, std::uint32_t baud, int parity, int dataBits, int stopBits) {
    ComPort.nPort = port;
    ComPort.dwBaud = baud;
    ComPort.cParity = parity;
    ComPort.nDataBits = dataBits;
    ComPort.nStopBits = stopBits;
    ComPort.rtsLevel = kRtsNotRequested;
    ComClose();

    if (port > kMaxPortNumber) {
        return -1;
    }
    char szBuff[kPortNameSize];
    std::snprintf(szBuff, sizeof szBuff, "COM%lu", static_cast<unsigned long>(port));
    ComPort.hCom = ComOpenLine(szBuff, ComLineSettings{baud, parity, dataBits, stopBits}, OsOpenMode::Exclusive);
    if (ComPort.hCom == INVALID_HANDLE_VALUE) {
        return -1;
    }
    if (!StartMonitor()) {
        ComClose();
        return -1;
    }
    return 0;
}

int ComOpenDevice(const char* name) {
    ComPort.rtsLevel = kRtsNotRequested;
    if (ComPort.hCom != INVALID_HANDLE_VALUE || name == nullptr) {
        return -1;  // one port at a time: the open one is left as it is
    }
    ComPort.hCom = OsOpen(name, OsOpenMode::Shared);
    if (ComPort.hCom == INVALID_HANDLE_VALUE) {
        return -1;
    }
    OsSetupComm(ComPort.hCom, kQueueSize, kQueueSize);
    if (!StartMonitor()) {
        ComClose();
        return -1;
    }
    return 0;
}

int ComReopen() {
    return ComOpen(ComPort.nPort, ComPort.dwBaud, ComPort.cParity, ComPort.nDataBits,
                   ComPort.nStopBits);
}

void ComClose() {
    // The output drains while the monitor still runs: a write the monitor issued
    // for held bytes belongs to its thread, and Windows cancels a thread's
    // outstanding I/O when the thread ends (a reply cut on the line).
    if (ComPort.hCom != INVALID_HANDLE_VALUE) {
        DrainOutput(ComPort.hCom, &gOut);
    }
    // The monitor waits on the handle: it is gone before the handle is closed.
    if (ComPort.hThread != nullptr) {
        OsMonitorStop(ComPort.hThread);
        ComPort.hThread = nullptr;
    }
    gWatching = false;
    if (ComPort.hCom != INVALID_HANDLE_VALUE) {
        DiscardAndClose(ComPort.hCom, &gOut);
        ComPort.hCom = INVALID_HANDLE_VALUE;
    }
    gOut.Drop();
}

std::uint32_t ComRxCount() {
    return InQueue();
}

int ComRxReady() {
    return OsInputWaiting(ComPort.hCom);
}

int ComReadByte() {
    if (ComRxReady() == 0) {
        return -1;
    }
    unsigned char byte = 0;
    std::uint32_t cbRead = 0;
    OsRead(ComPort.hCom, &byte, 1, &cbRead);
    if (cbRead == 0) {
        return -1;
    }
    return byte;
}

int ComRead(void* buffer, std::uint32_t count) {
    if (ComRxReady() == 0) {
        return -1;
    }
    std::uint32_t cbRead = 0;
    OsRead(ComPort.hCom, buffer, count, &cbRead);
    return cbRead == 0 ? -1 : 0;
}

int ComWrite(const void* buffer, std::uint32_t count) {
    std::uint32_t dwError = 0;
    if (WriteFrame(static_cast<const unsigned char*>(buffer), count, &dwError)) {
        return 1;
    }
    return static_cast<int>(OsWindowsError(dwError));
}

int ComWriteByte(int value) {
    const unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    std::uint32_t dwError = 0;
    return WriteFrame(&byte, 1, &dwError) ? 1 : 0;
}

int ComTxBusy() {
    return OutQueue() > 0 ? 1 : 0;
}

std::uint32_t ComTxCount() {
    return OutQueue();
}

std::size_t ComHeldStorage() {
    OsOutputLock();
    const std::size_t cb = gOut.Storage();
    OsOutputUnlock();
    return cb;
}

int ComPurge() {
    // The held bytes are the output queue's tail: they go with the driver's queue,
    // so no frame's end follows a head the driver dropped.
    OsOutputLock();
    gOut.Drop();
    Watch();
    const int fOk = OsPurgeComm(ComPort.hCom, PURGE_TXCLEAR | PURGE_RXCLEAR);
    OsOutputUnlock();
    return fOk;
}

void ComSetRxHandler(void (*pfnRxHandler)(std::uint32_t)) {
    OsOutputLock();
    std::atomic_ref<RxHandler>(ComPort.pfnRxHandler).store(pfnRxHandler);
    if (ComPort.hThread != nullptr) {
        OsMonitorSetMask(ComPort.hThread, MonitorMask());
    }
    OsOutputUnlock();
}

void ComSetRts(std::uint32_t code) {
    if (code == 2) {
        DCB dcb{};
        if (OsGetCommState(ComPort.hCom, &dcb)) {
            dcb.fRtsControl = RTS_CONTROL_TOGGLE;
            OsSetCommState(ComPort.hCom, &dcb);
        }
        ComPort.rtsLevel = 0;
        return;
    }
    std::int32_t level = static_cast<std::int32_t>(code);
    switch (code) {
    case 0:
    case 128: level = 0; break;
    case 1:
    case 3:
    case 129: level = 1; break;
    default: break;
    }
    if (level == ComPort.rtsLevel) {
        return;
    }
    // Recorded even when the command fails, so a repeat is not sent.
    OsEscapeCommFunction(ComPort.hCom, level != 0 ? SETRTS : CLRRTS);
    ComPort.rtsLevel = level;
}

int ComSetDtr(int on) {
    return OsEscapeCommFunction(ComPort.hCom, on != 0 ? SETDTR : CLRDTR);
}

int ComBreakOn() {
    return OsEscapeCommFunction(ComPort.hCom, SETBREAK);
}

int ComBreakOff() {
    return OsEscapeCommFunction(ComPort.hCom, CLRBREAK);
}

namespace {

int ModemLine(std::uint32_t dwBit) {
    std::uint32_t dwStatus = 0;
    if (!OsGetCommModemStatus(ComPort.hCom, &dwStatus)) {
        return 0;
    }
    return (dwStatus & dwBit) != 0 ? 1 : 0;
}

}  // namespace

int ComReadCts() {
    return ModemLine(MS_CTS_ON);
}

int ComReadDsr() {
    return ModemLine(MS_DSR_ON);
}
