// One COM port the program opened: a TCP connection to zolhost's RFC 2217 server on
// loopback, spoken through the telnet engine as a client (its bytes through shared
// rings once zolhost offers them: host/net/shared_ring.h), and what a serial
// driver keeps for an open port: the line's settings, timeouts, the event mask,
// the input queue and the requests in progress.
//
// Threads: the program's threads call in; one I/O thread per port reads the socket,
// serves pending reads and waits, and ends them when their time is up. One lock
// (lock_) guards all of the port's state; the socket's sends have a lock of their
// own (sendLock_), taken with lock_ never held, so that a send that waits for room
// never holds up the I/O thread. Nothing waits in a loop: the I/O thread sleeps
// in WaitForMultipleObjects until the socket, a wake-up or the nearest deadline,
// and a caller of a synchronous call sleeps on the port's condition variable.
//
// The input queue is bounded (kInputQueue): when it is full the I/O thread stops
// reading the socket, so the bytes wait in the network and in zolhost (TCP's own
// flow control), none is lost.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/net/shared_ring.h"
#include "host/net/telnet_port.h"
#include "host/run/com_shim/port_names.h"

namespace zolhost::comshim {

// NTSTATUS values a request ends with, as the kernel puts them in OVERLAPPED.Internal.
inline constexpr ULONG_PTR kStatusSuccess = 0;
inline constexpr ULONG_PTR kStatusPending = 0x103;
inline constexpr ULONG_PTR kStatusCancelled = 0xC0000120;       // ERROR_OPERATION_ABORTED
inline constexpr ULONG_PTR kStatusDeviceGone = 0xC0000184;      // STATUS_INVALID_DEVICE_STATE: ERROR_BAD_COMMAND
inline constexpr ULONG_PTR kStatusInvalidParameter = 0xC000000D;  // ERROR_INVALID_PARAMETER
DWORD ErrorOfStatus(ULONG_PTR status);

class ShimPort : public std::enable_shared_from_this<ShimPort> {
public:
    static constexpr std::size_t kInputQueue = 64 * 1024;

    // Connects to `address` and starts the I/O thread; nullptr with *error set
    // (ERROR_FILE_NOT_FOUND when nothing listens there).
    static std::shared_ptr<ShimPort> Open(const std::string& name, const PortAddress& address, bool overlapped,
                                          HANDLE handle, DWORD* error);
    ~ShimPort();

    const std::string& Name() const { return name_; }
    HANDLE Handle() const { return handle_; }
    bool Gone();

    // Each returns what the Win32 call returns, the error set with SetLastError.
    BOOL Read(void* buffer, DWORD n, DWORD* done, OVERLAPPED* ov);
    BOOL Write(const void* buffer, DWORD n, DWORD* done, OVERLAPPED* ov);
    // ReadFileEx and WriteFileEx: an overlapped request whose end runs `routine` as
    // an APC in the thread that issued it, in place of an event or a completion
    // packet; TRUE once it is under way (or ended and its routine queued).
    BOOL ReadEx(void* buffer, DWORD n, OVERLAPPED* ov, LPOVERLAPPED_COMPLETION_ROUTINE routine);
    BOOL WriteEx(const void* buffer, DWORD n, OVERLAPPED* ov, LPOVERLAPPED_COMPLETION_ROUTINE routine);
    BOOL WaitEvent(DWORD* mask, OVERLAPPED* ov);
    BOOL Cancel(OVERLAPPED* ov, bool thisThreadOnly);  // CancelIo(Ex)
    // GetOverlappedResult(Ex) for a request of this port.
    BOOL Result(OVERLAPPED* ov, DWORD* done, DWORD ms, BOOL alertable);
    BOOL Setup(DWORD inQueue, DWORD outQueue);
    BOOL GetState(DCB* dcb);
    BOOL SetState(const DCB* dcb);
    BOOL GetTimeouts(COMMTIMEOUTS* t);
    BOOL SetTimeouts(const COMMTIMEOUTS* t);
    BOOL ClearError(DWORD* errors, COMSTAT* stat);
    BOOL SetMask(DWORD mask);
    BOOL GetMask(DWORD* mask);
    BOOL Purge(DWORD flags);
    BOOL Escape(DWORD func);
    BOOL ModemStatus(DWORD* status);
    BOOL Properties(COMMPROP* p);
    BOOL Flush();
    // The completion port its overlapped requests are posted to.
    void BindCompletionPort(HANDLE port, ULONG_PTR key);
    // CloseHandle: every request in progress ends aborted, the connection closes
    // and the I/O thread ends.
    void Close();

private:
    struct Request {
        enum class Kind { Read, Wait } kind;
        OVERLAPPED* ov;           // the program's, or nullptr for a synchronous call
        std::uint8_t* buffer = nullptr;
        DWORD want = 0;
        DWORD got = 0;
        DWORD* mask = nullptr;    // WaitCommEvent's, synchronous only
        DWORD thread = 0;
        ULONGLONG deadline = 0;   // total time out (GetTickCount64), 0: none
        DWORD interval = 0;       // between bytes, 0: none
        ULONGLONG lastByte = 0;
        bool firstByteEnds = false;  // MAXDWORD/MAXDWORD/C: ends once anything came
        ULONGLONG totalMs = 0;    // the total time out, counted from when the read is first in line
        bool started = false;
        bool done = false;
        ULONG_PTR status = kStatusPending;
        DWORD waitMask = 0;
    };

    // A ReadFileEx or WriteFileEx request's routine and the thread that issued it.
    struct Routine {
        LPOVERLAPPED_COMPLETION_ROUTINE routine;
        HANDLE thread;
    };

    ShimPort(std::string name, bool overlapped, HANDLE handle);
    template <typename F>
    BOOL WithRoutine(OVERLAPPED* ov, LPOVERLAPPED_COMPLETION_ROUTINE routine, F issue);
    bool Connect(const PortAddress& address, DWORD* error);
    // After the ask for shared rings: zolhost's answer, and what came before it;
    // the engine's answers then go by the way agreed. false when the connection
    // failed, or the rings offered cannot be joined.
    bool JoinRing(DWORD* error);
    static DWORD WINAPI ThreadMain(void* self);
    void Run();
    // The I/O thread's share of the socket: reads while the queue has room.
    void ReadSocket();
    void Take(const net::PortOutput& out);
    // Sends whole (0 ms: no time limit); false when the connection failed or the
    // time ran out, *sent then what went.
    bool Send(const std::vector<std::uint8_t>& bytes, DWORD ms, std::size_t* sent);
    // Runs change(&out) with lock_ held, then sends what it asked of the engine;
    // fails with ERROR_BAD_COMMAND once the connection is gone.
    template <typename F>
    BOOL Ask(F change);
    // A getter's copy of a field under the lock; fails once the port is gone.
    template <typename T>
    BOOL CopyOut(T* out, const T& field);
    // With lock_ held.
    void ServeLocked();
    // Ends r (taken out of requests_; an overlapped one is freed).
    void FinishLocked(Request* r, ULONG_PTR status);
    // The kernel's part in an overlapped request's end: the status and count in
    // OVERLAPPED, its event and the handle's signalled, the completion port told.
    void CompleteLocked(OVERLAPPED* ov, ULONG_PTR status, DWORD bytes);
    void EventLocked(DWORD ev);
    void GoneLocked();
    std::size_t QueuedLocked() const { return queue_.size() - head_; }
    // Starts a request: ends it at once or leaves it pending; the Win32 result.
    BOOL Issue(Request* r, DWORD* done);
    ULONGLONG NearestDeadlineLocked() const;
    void Wake() { SetEvent(wake_); }

    const std::string name_;
    const bool overlapped_;
    const HANDLE handle_;  // the program's handle: an unnamed event of ours
    SOCKET socket_ = INVALID_SOCKET;
    HANDLE thread_ = nullptr;
    HANDLE wake_ = nullptr;
    HANDLE netEvent_ = nullptr;
    std::unique_ptr<net::SharedRing> ring_;  // set before the I/O thread starts, then fixed

    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    CRITICAL_SECTION sendLock_;
    net::TelnetPort engine_;
    std::vector<std::uint8_t> queue_;  // bytes from head_ on are unread
    std::size_t head_ = 0;
    bool readable_ = true;  // the I/O thread's: the socket may have bytes (or its end)
    bool paused_ = false;   // the I/O thread stopped reading: the queue was full
    bool handleSignalled_ = false;  // handle_ was set by a request's end
    bool gone_ = false;
    bool closed_ = false;  // the program closed the handle: no more requests
    bool ending_ = false;  // the I/O thread is to end
    std::list<Request*> requests_;  // pending, in the order issued; overlapped ones are new'd
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    DWORD mask_ = 0;
    DWORD seen_ = 0;  // events of the mask seen while no wait was pending
    DWORD errors_ = 0;
    bool modemKnown_ = false;  // a NOTIFY-MODEMSTATE came
    HANDLE completionPort_ = nullptr;
    ULONG_PTR completionKey_ = 0;
    std::map<OVERLAPPED*, Routine> routines_;  // ReadFileEx / WriteFileEx requests under way
};

}  // namespace zolhost::comshim
