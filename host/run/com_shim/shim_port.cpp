#include "host/run/com_shim/shim_port.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

namespace zolhost::comshim {

namespace {

constexpr DWORD kValidEvents = 0x1FFF;  // EV_RXCHAR .. EV_EVENT2
constexpr DWORD kIoThreadEndMs = 5000;
constexpr DWORD kLetGoMs = 2000;
constexpr long kGreetingMs = 2000;  // for zolhost's first words on a new connection, and for its answer to the ask

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

bool gWinsock = false;

BOOL CALLBACK StartWinsock(INIT_ONCE*, void*, void**) {
    WSADATA data;
    gWinsock = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return TRUE;
}

// Started with the first port opened, never from DllMain.
bool Winsock() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    return InitOnceExecuteOnce(&once, StartWinsock, nullptr, nullptr) && gWinsock;
}

// Windows' parity and stop bit codes (DCB) as the option's.
net::Parity ParityOf(BYTE p) { return static_cast<net::Parity>(p + 1); }
net::StopSize StopOf(BYTE s) {
    return s == ONESTOPBIT ? net::StopSize::One : s == TWOSTOPBITS ? net::StopSize::Two : net::StopSize::OnePointFive;
}

std::uint8_t FlowOutOf(const DCB& d) {
    return d.fOutxCtsFlow ? net::kCtlFlowHardware : d.fOutX ? net::kCtlFlowXonXoff : net::kCtlFlowNone;
}

}  // namespace

DWORD ErrorOfStatus(ULONG_PTR status) {
    switch (status) {
    case kStatusSuccess: return ERROR_SUCCESS;
    case kStatusPending: return ERROR_IO_PENDING;
    case kStatusCancelled: return ERROR_OPERATION_ABORTED;
    case kStatusDeviceGone: return ERROR_BAD_COMMAND;
    case kStatusInvalidParameter: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

ShimPort::ShimPort(std::string name, bool overlapped, HANDLE handle)
    : name_(std::move(name)), overlapped_(overlapped), handle_(handle), engine_(net::TelnetPort::Role::Client) {
    InitializeCriticalSection(&sendLock_);
    dcb_.DCBlength = sizeof dcb_;
    dcb_.BaudRate = kDeviceLine.baud;
    dcb_.fBinary = TRUE;
    dcb_.fDtrControl = DTR_CONTROL_ENABLE;
    dcb_.fRtsControl = RTS_CONTROL_ENABLE;
    dcb_.ByteSize = kDeviceLine.dataBits;
    dcb_.Parity = NOPARITY;
    dcb_.StopBits = ONESTOPBIT;
    dcb_.XonLim = 2048;
    dcb_.XoffLim = 512;
    dcb_.XonChar = 0x11;
    dcb_.XoffChar = 0x13;
}

ShimPort::~ShimPort() {
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
    }
    for (HANDLE h : {thread_, wake_, netEvent_}) {
        if (h != nullptr) {
            CloseHandle(h);
        }
    }
    DeleteCriticalSection(&sendLock_);
}

std::shared_ptr<ShimPort> ShimPort::Open(const std::string& name, const PortAddress& address, bool overlapped,
                                         HANDLE handle, DWORD* error) {
    std::shared_ptr<ShimPort> port(new ShimPort(name, overlapped, handle));
    if (!port->Connect(address, error)) {
        return nullptr;
    }
    return port;
}

bool ShimPort::Connect(const PortAddress& address, DWORD* error) {
    *error = ERROR_FILE_NOT_FOUND;  // nothing there: as a port that does not exist
    if (!Winsock()) {
        *error = ERROR_NOT_READY;
        return false;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(address.port);
    if (inet_pton(AF_INET, address.host.c_str(), &to.sin_addr) != 1) {
        return false;
    }
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET) {
        *error = ERROR_NOT_READY;
        return false;
    }
    if (connect(socket_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        return false;
    }
    const BOOL on = TRUE;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // Auto-reset: the wait that wakes on it resets it, with no call to ask what
    // happened (recv says: data, or 0 for the end).
    netEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (wake_ == nullptr || netEvent_ == nullptr) {
        *error = ERROR_NOT_READY;
        return false;
    }
    net::PortOutput out;
    engine_.Start(&out);
    // zolhost opens with telnet's negotiation (IAC first). A client it cannot take,
    // as another has the port, gets a line of text and the connection closed: to
    // the program, a port in use. A server that says nothing at first is taken
    // as it is.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval wait{kGreetingMs / 1000, 0};
    const bool greeted = select(0, &readable, nullptr, nullptr, &wait) == 1;
    if (greeted) {
        std::uint8_t first[256];
        const int n = recv(socket_, reinterpret_cast<char*>(first), sizeof first, 0);
        if (n <= 0) {
            return false;
        }
        if (first[0] != net::kIac) {
            *error = ERROR_ACCESS_DENIED;
            return false;
        }
        AcquireSRWLockExclusive(&lock_);
        engine_.FromNetwork(first, static_cast<std::size_t>(n), &out);
        Take(out);
        ReleaseSRWLockExclusive(&lock_);
    }
    if (greeted) {
        net::TelnetPort::SharedRingMessage(net::kRingAsk, "", &out.network);
    }
    std::size_t sent = 0;
    if (!Send(out.network, 0, &sent) || (greeted && !JoinRing(error))) {
        return false;
    }
    if (WSAEventSelect(socket_, netEvent_, FD_READ | FD_CLOSE) != 0) {
        *error = ERROR_NOT_READY;
        return false;
    }
    // The thread holds the port alive until it ends.
    auto* hold = new std::shared_ptr<ShimPort>(shared_from_this());
    thread_ = CreateThread(nullptr, 0, ThreadMain, hold, 0, nullptr);
    if (thread_ == nullptr) {
        delete hold;
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    return true;
}

bool ShimPort::JoinRing(DWORD* error) {
    const ULONGLONG deadline = GetTickCount64() + kGreetingMs;
    std::vector<std::uint8_t> answers;  // the engine's, sent once the way is agreed
    for (ULONGLONG now = GetTickCount64(); now < deadline && !ring_; now = GetTickCount64()) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        const ULONGLONG left = deadline - now;
        timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
        if (select(0, &readable, nullptr, nullptr, &wait) != 1) {
            break;  // no answer: the bytes keep to the socket
        }
        std::uint8_t buf[512];
        const int n = recv(socket_, reinterpret_cast<char*>(buf), sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        net::PortOutput out;
        AcquireSRWLockExclusive(&lock_);
        engine_.FromNetwork(buf, static_cast<std::size_t>(n), &out);
        Take(out);
        ReleaseSRWLockExclusive(&lock_);
        answers.insert(answers.end(), out.network.begin(), out.network.end());
        const auto answer = std::find_if(out.events.begin(), out.events.end(), [](const net::PortEvent& e) {
            return e.kind == net::PortEvent::Kind::SharedRing && e.code != net::kRingAsk;
        });
        if (answer == out.events.end()) {
            continue;
        }
        if (answer->code != net::kRingOffer) {
            break;  // refused
        }
        ring_ = net::SharedRing::Join(engine_.RingText());
        if (!ring_) {
            *error = ERROR_NOT_READY;  // zolhost has gone over to the rings: no way back
            return false;
        }
    }
    std::size_t sent = 0;
    return Send(answers, 0, &sent);
}

DWORD WINAPI ShimPort::ThreadMain(void* hold) {
    std::unique_ptr<std::shared_ptr<ShimPort>> port(static_cast<std::shared_ptr<ShimPort>*>(hold));
    (*port)->Run();
    return 0;
}

void ShimPort::Run() {
    for (;;) {
        DWORD timeout = INFINITE;
        AcquireSRWLockExclusive(&lock_);
        const bool closed = ending_;
        const ULONGLONG deadline = NearestDeadlineLocked();
        ReleaseSRWLockExclusive(&lock_);
        if (closed) {
            return;
        }
        if (deadline != 0) {
            const ULONGLONG now = GetTickCount64();
            timeout = deadline > now ? static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, 0x7FFFFFFF)) : 0;
        }
        const HANDLE events[] = {netEvent_, wake_, ring_ ? reinterpret_cast<HANDLE>(ring_->DataEvent()) : nullptr};
        const DWORD woke = WaitForMultipleObjects(ring_ ? 3 : 2, events, FALSE, timeout);
        if (woke == WAIT_OBJECT_0) {
            readable_ = true;
        }
        ReadSocket();
        AcquireSRWLockExclusive(&lock_);
        ServeLocked();
        ReleaseSRWLockExclusive(&lock_);
    }
}

void ShimPort::ReadSocket() {
    std::uint8_t buf[16384];
    for (;;) {
        AcquireSRWLockExclusive(&lock_);
        const bool stop = gone_ || ending_;
        const std::size_t room = kInputQueue - std::min(kInputQueue, QueuedLocked());
        paused_ = room == 0;  // a full queue: read again once the program took some (it wakes us)
        ReleaseSRWLockExclusive(&lock_);
        if (stop || room == 0) {
            return;
        }
        const int asked = static_cast<int>(std::min(room, sizeof buf));
        // The rings first: zolhost's last bytes are there before its close is heard.
        int n = ring_ ? static_cast<int>(ring_->Read(buf, static_cast<std::size_t>(asked))) : 0;
        if (n == 0) {
            if (!readable_) {
                return;
            }
            n = recv(socket_, reinterpret_cast<char*>(buf), asked, 0);
            if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
                readable_ = false;
                return;
            }
            if (n <= 0) {  // zolhost ended or let the port go: as an adapter pulled out
                AcquireSRWLockExclusive(&lock_);
                GoneLocked();
                ReleaseSRWLockExclusive(&lock_);
                return;
            }
        }
        net::PortOutput out;
        AcquireSRWLockExclusive(&lock_);
        engine_.FromNetwork(buf, static_cast<std::size_t>(n), &out);
        Take(out);
        ReleaseSRWLockExclusive(&lock_);
        std::size_t sent = 0;
        Send(out.network, 0, &sent);
        // Less than asked for: nothing more waits now. The recv re-armed FD_READ,
        // so bytes that come later signal the event again (each recv costs Wine a
        // call to its server: none is made only to hear "would block").
        if (n < asked && !ring_) {
            readable_ = false;
        }
    }
}

// With lock_ held.
void ShimPort::Take(const net::PortOutput& out) {
    if (!out.data.empty()) {
        queue_.insert(queue_.end(), out.data.begin(), out.data.end());
        EventLocked(EV_RXCHAR);
    }
    for (const net::PortEvent& e : out.events) {
        if (e.kind != net::PortEvent::Kind::ModemState) {
            continue;
        }
        modemKnown_ = true;
        const std::uint8_t changed = static_cast<std::uint8_t>(e.value & 0x0F);
        EventLocked(((changed & 0x01) ? EV_CTS : 0) | ((changed & 0x02) ? EV_DSR : 0) | ((changed & 0x04) ? EV_RING : 0) |
                    ((changed & 0x08) ? EV_RLSD : 0));
    }
    ServeLocked();
}

bool ShimPort::Send(const std::vector<std::uint8_t>& bytes, DWORD ms, std::size_t* sent) {
    *sent = 0;
    if (bytes.empty()) {
        return true;
    }
    const ULONGLONG deadline = ms == 0 ? 0 : GetTickCount64() + ms;
    bool ok = true;
    EnterCriticalSection(&sendLock_);
    while (ring_ && *sent < bytes.size()) {
        *sent += ring_->Write(bytes.data() + *sent, bytes.size() - *sent);
        AcquireSRWLockExclusive(&lock_);
        const bool stop = closed_ || gone_;
        ReleaseSRWLockExclusive(&lock_);
        const ULONGLONG now = GetTickCount64();
        if (*sent < bytes.size() && (stop || (deadline != 0 && now >= deadline))) {
            ok = false;
            break;
        }
        if (*sent < bytes.size()) {  // no room: zolhost's read of the ring wakes us
            WaitForSingleObject(reinterpret_cast<HANDLE>(ring_->RoomEvent()),
                                static_cast<DWORD>(deadline == 0 ? 250 : std::min<ULONGLONG>(deadline - now, 250)));
        }
    }
    while (!ring_ && *sent < bytes.size()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - *sent, 1 << 20));
        const int n = send(socket_, reinterpret_cast<const char*>(bytes.data() + *sent), chunk, 0);
        if (n > 0) {
            *sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) {
            ok = false;
            AcquireSRWLockExclusive(&lock_);
            GoneLocked();
            ReleaseSRWLockExclusive(&lock_);
            break;
        }
        // No room: wait for it, a quarter second at a time so that a port closed
        // meanwhile is seen.
        AcquireSRWLockExclusive(&lock_);
        const bool stop = closed_ || gone_;
        ReleaseSRWLockExclusive(&lock_);
        const ULONGLONG now = GetTickCount64();
        if (stop || (deadline != 0 && now >= deadline)) {
            ok = false;
            break;
        }
        const ULONGLONG left = deadline == 0 ? 250 : std::min<ULONGLONG>(deadline - now, 250);
        fd_set w;
        FD_ZERO(&w);
        FD_SET(socket_, &w);
        timeval tv{0, static_cast<long>(left * 1000)};
        select(0, nullptr, &w, nullptr, &tv);
    }
    LeaveCriticalSection(&sendLock_);
    return ok;
}

template <typename F>
BOOL ShimPort::Ask(F change) {
    net::PortOutput out;
    AcquireSRWLockExclusive(&lock_);
    if (gone_) {
        ReleaseSRWLockExclusive(&lock_);
        return Fail(ERROR_BAD_COMMAND);
    }
    change(&out);
    ReleaseSRWLockExclusive(&lock_);
    std::size_t sent = 0;
    Send(out.network, 0, &sent);
    return TRUE;
}

template <typename T>
BOOL ShimPort::CopyOut(T* out, const T& field) {
    if (out == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    AcquireSRWLockExclusive(&lock_);
    *out = field;
    const bool gone = gone_;
    ReleaseSRWLockExclusive(&lock_);
    return gone ? Fail(ERROR_BAD_COMMAND) : TRUE;
}

bool ShimPort::Gone() {
    AcquireSRWLockExclusive(&lock_);
    const bool gone = gone_;
    ReleaseSRWLockExclusive(&lock_);
    return gone;
}

ULONGLONG ShimPort::NearestDeadlineLocked() const {
    ULONGLONG nearest = 0;
    const auto consider = [&](ULONGLONG t) {
        if (t != 0 && (nearest == 0 || t < nearest)) {
            nearest = t;
        }
    };
    for (const Request* r : requests_) {
        if (r->kind == Request::Kind::Read && r->started) {
            consider(r->deadline);
            if (r->interval != 0 && r->got > 0) {
                consider(r->lastByte + r->interval);
            }
        }
    }
    return nearest;
}

void ShimPort::ServeLocked() {
    const ULONGLONG now = GetTickCount64();
    bool took = false;
    for (auto it = requests_.begin(); it != requests_.end();) {
        Request* r = *it;
        ++it;
        if (r->kind != Request::Kind::Read) {
            continue;
        }
        if (!r->started) {
            r->started = true;
            r->deadline = r->totalMs == 0 ? 0 : now + r->totalMs;
        }
        const std::size_t take = std::min<std::size_t>(QueuedLocked(), r->want - r->got);
        if (take > 0) {
            std::memcpy(r->buffer + r->got, queue_.data() + head_, take);
            head_ += take;
            r->got += static_cast<DWORD>(take);
            r->lastByte = now;
            took = true;
        }
        const bool ends = r->got == r->want || (r->firstByteEnds && r->got > 0) ||
                          (r->deadline != 0 && now >= r->deadline) ||
                          (r->interval != 0 && r->got > 0 && now - r->lastByte >= r->interval);
        if (!ends) {
            break;  // reads are served in order: the next waits for this one
        }
        FinishLocked(r, kStatusSuccess);
    }
    if (head_ == queue_.size()) {
        queue_.clear();
        head_ = 0;
    } else if (head_ >= kInputQueue / 4) {
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    if (took && paused_) {
        paused_ = false;
        Wake();  // room again in the queue: the I/O thread reads on
    }
}

namespace {

struct RoutineCall {
    LPOVERLAPPED_COMPLETION_ROUTINE routine;
    DWORD error;
    DWORD bytes;
    OVERLAPPED* ov;
};

void WINAPI CallRoutine(ULONG_PTR p) {
    const auto* call = reinterpret_cast<RoutineCall*>(p);
    call->routine(call->error, call->bytes, call->ov);
    delete call;
}

}  // namespace

void ShimPort::CompleteLocked(OVERLAPPED* ov, ULONG_PTR status, DWORD bytes) {
    // The event's low bit set: the program wants no completion packet.
    const ULONG_PTR ev = reinterpret_cast<ULONG_PTR>(ov->hEvent);
    ov->InternalHigh = bytes;
    __atomic_store_n(&ov->Internal, status, __ATOMIC_RELEASE);
    if (const auto it = routines_.find(ov); it != routines_.end()) {
        // ReadFileEx / WriteFileEx: hEvent is the program's own, and no packet goes
        // to a completion port; the routine runs in its thread's next alertable wait.
        const Routine r = it->second;
        routines_.erase(it);
        auto* call = new RoutineCall{r.routine, status == kStatusSuccess ? 0 : ErrorOfStatus(status), bytes, ov};
        if (QueueUserAPC(CallRoutine, r.thread, reinterpret_cast<ULONG_PTR>(call)) == 0) {
            delete call;
        }
        CloseHandle(r.thread);
        return;
    }
    if ((ev & ~ULONG_PTR{1}) != 0) {
        SetEvent(reinterpret_cast<HANDLE>(ev & ~ULONG_PTR{1}));
    } else {
        SetEvent(handle_);  // no event of its own: the handle is what is waited on
        handleSignalled_ = true;
    }
    if (completionPort_ != nullptr && (ev & 1) == 0) {
        PostQueuedCompletionStatus(completionPort_, bytes, completionKey_, ov);
    }
}

void ShimPort::FinishLocked(Request* r, ULONG_PTR status) {
    requests_.remove(r);
    r->status = status;
    r->done = true;
    const DWORD bytes = r->kind == Request::Kind::Read ? r->got : sizeof(DWORD);
    if (r->kind == Request::Kind::Wait && r->mask != nullptr) {
        *r->mask = status == kStatusSuccess ? r->waitMask : 0;
    }
    if (r->ov != nullptr) {
        CompleteLocked(r->ov, status, bytes);
        delete r;
    }
    WakeAllConditionVariable(&changed_);
}

void ShimPort::EventLocked(DWORD ev) {
    ev &= mask_;
    if (ev == 0) {
        return;
    }
    for (Request* r : requests_) {
        if (r->kind == Request::Kind::Wait) {
            r->waitMask = ev | seen_;
            seen_ = 0;
            FinishLocked(r, kStatusSuccess);
            return;
        }
    }
    seen_ |= ev;
}

void ShimPort::GoneLocked() {
    if (gone_) {
        return;
    }
    gone_ = true;
    while (!requests_.empty()) {
        FinishLocked(requests_.front(), kStatusDeviceGone);
    }
    WakeAllConditionVariable(&changed_);
}

BOOL ShimPort::Issue(Request* r, DWORD* done) {
    OVERLAPPED* ov = r->ov;
    r->thread = GetCurrentThreadId();
    AcquireSRWLockExclusive(&lock_);
    if (gone_ || closed_) {
        const DWORD error = gone_ ? ERROR_BAD_COMMAND : ERROR_INVALID_HANDLE;
        ReleaseSRWLockExclusive(&lock_);
        if (ov != nullptr) {
            delete r;
        }
        return Fail(error);
    }
    HANDLE reset = nullptr;  // the request's event, reset if it stays pending
    if (ov != nullptr) {
        ov->InternalHigh = 0;
        __atomic_store_n(&ov->Internal, kStatusPending, __ATOMIC_RELEASE);
        const ULONG_PTR ev = reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~ULONG_PTR{1};
        if (ev != 0 && routines_.count(ov) == 0) {  // ReadFileEx leaves hEvent to the program
            reset = reinterpret_cast<HANDLE>(ev);
        }
    }
    if (handleSignalled_) {
        ResetEvent(handle_);
        handleSignalled_ = false;
    }
    requests_.push_back(r);
    if (r->kind == Request::Kind::Read) {
        ServeLocked();
    } else if (seen_ != 0) {  // an event of the mask came while nothing waited
        r->waitMask = seen_;
        seen_ = 0;
        FinishLocked(r, kStatusSuccess);
    }
    // The I/O thread sleeps until the socket or its nearest deadline: it is woken
    // only when a request in progress brought a nearer one.
    const bool timed = NearestDeadlineLocked() != 0;
    if (ov != nullptr) {  // r may be gone now: the outcome is in *ov
        const ULONG_PTR status = __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE);
        const DWORD bytes = static_cast<DWORD>(ov->InternalHigh);
        // Reset as the request starts, as the system does; one that ended at once
        // has set it, which a reset first would not change (with lock_ held, no
        // end of a pending one comes in between).
        if (reset != nullptr && status == kStatusPending) {
            ResetEvent(reset);
        }
        ReleaseSRWLockExclusive(&lock_);
        if (timed) {
            Wake();
        }
        if (status == kStatusPending) {
            return Fail(ERROR_IO_PENDING);
        }
        if (done != nullptr) {
            *done = bytes;
        }
        return status == kStatusSuccess ? TRUE : Fail(ErrorOfStatus(status));
    }
    if (timed) {
        Wake();
    }
    while (!r->done) {
        SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&lock_);
    if (done != nullptr) {
        *done = r->kind == Request::Kind::Read ? r->got : 0;
    }
    return r->status == kStatusSuccess ? TRUE : Fail(ErrorOfStatus(r->status));
}

BOOL ShimPort::Read(void* buffer, DWORD n, DWORD* done, OVERLAPPED* ov) {
    if (done != nullptr) {
        *done = 0;
    }
    if (Gone()) {
        return Fail(ERROR_BAD_COMMAND);
    }
    Request local{Request::Kind::Read, nullptr};
    Request* r = overlapped_ && ov != nullptr ? new Request{Request::Kind::Read, ov} : &local;
    r->buffer = static_cast<std::uint8_t*>(buffer);
    r->want = n;
    AcquireSRWLockExclusive(&lock_);
    const COMMTIMEOUTS t = timeouts_;
    ReleaseSRWLockExclusive(&lock_);
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        r->started = true;
        r->deadline = std::max<ULONGLONG>(GetTickCount64(), 1);  // whatever is there, at once
    } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        r->firstByteEnds = true;  // what is there at once, else the first bytes to come within C ms
        r->totalMs = t.ReadTotalTimeoutConstant;
    } else {
        r->totalMs = ULONGLONG{t.ReadTotalTimeoutMultiplier} * n + t.ReadTotalTimeoutConstant;
        r->interval = t.ReadIntervalTimeout == MAXDWORD ? 0 : t.ReadIntervalTimeout;
    }
    if (n == 0) {
        r->started = true;
        r->deadline = 1;
    }
    return Issue(r, done);
}

template <typename F>
BOOL ShimPort::WithRoutine(OVERLAPPED* ov, LPOVERLAPPED_COMPLETION_ROUTINE routine, F issue) {
    if (!overlapped_ || ov == nullptr || routine == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);  // the handle must be an overlapped one
    }
    const HANDLE thread = OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId());
    if (thread == nullptr) {
        return FALSE;
    }
    AcquireSRWLockExclusive(&lock_);
    routines_[ov] = Routine{routine, thread};
    ReleaseSRWLockExclusive(&lock_);
    const BOOL issued = issue();
    const DWORD error = GetLastError();
    AcquireSRWLockExclusive(&lock_);
    // Still there: the request never began (an ended one took its routine with it).
    const bool began = routines_.count(ov) == 0 || (!issued && error == ERROR_IO_PENDING);
    if (!began) {
        routines_.erase(ov);
    }
    ReleaseSRWLockExclusive(&lock_);
    if (!began) {
        CloseHandle(thread);
        return Fail(error);
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ShimPort::ReadEx(void* buffer, DWORD n, OVERLAPPED* ov, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    return WithRoutine(ov, routine, [&] { return Read(buffer, n, nullptr, ov); });
}

BOOL ShimPort::WriteEx(const void* buffer, DWORD n, OVERLAPPED* ov, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    return WithRoutine(ov, routine, [&] { return Write(buffer, n, nullptr, ov); });
}

BOOL ShimPort::Write(const void* buffer, DWORD n, DWORD* done, OVERLAPPED* ov) {
    if (done != nullptr) {
        *done = 0;
    }
    AcquireSRWLockExclusive(&lock_);
    const bool gone = gone_;
    const COMMTIMEOUTS t = timeouts_;
    if (!gone && overlapped_ && ov != nullptr) {
        ov->InternalHigh = 0;
        __atomic_store_n(&ov->Internal, kStatusPending, __ATOMIC_RELEASE);
    }
    ReleaseSRWLockExclusive(&lock_);
    if (gone) {
        return Fail(ERROR_BAD_COMMAND);
    }
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    std::vector<std::uint8_t> net;
    net::TelnetPort::Escape(p, n, &net);
    const ULONGLONG total = ULONGLONG{t.WriteTotalTimeoutMultiplier} * n + t.WriteTotalTimeoutConstant;
    std::size_t sent = 0;
    const bool whole = Send(net, static_cast<DWORD>(std::min<ULONGLONG>(total, 0x7FFFFFFF)), &sent);
    // The data bytes whose escaped form went out whole.
    DWORD wrote = 0;
    for (std::size_t at = 0; wrote < n; ++wrote) {
        at += p[wrote] == net::kIac ? 2 : 1;
        if (at > sent) {
            break;
        }
    }
    AcquireSRWLockExclusive(&lock_);
    const ULONG_PTR status = gone_ ? kStatusDeviceGone : closed_ ? kStatusCancelled : kStatusSuccess;
    if (whole) {
        EventLocked(EV_TXEMPTY);
    }
    if (overlapped_ && ov != nullptr) {
        CompleteLocked(ov, status, wrote);
    }
    WakeAllConditionVariable(&changed_);
    ReleaseSRWLockExclusive(&lock_);
    if (done != nullptr) {
        *done = wrote;
    }
    return status == kStatusSuccess ? TRUE : Fail(ErrorOfStatus(status));
}

BOOL ShimPort::WaitEvent(DWORD* mask, OVERLAPPED* ov) {
    if (mask == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    AcquireSRWLockExclusive(&lock_);
    const bool gone = gone_;
    bool busy = mask_ == 0;
    for (const Request* r : requests_) {
        busy = busy || r->kind == Request::Kind::Wait;
    }
    ReleaseSRWLockExclusive(&lock_);
    if (gone) {
        return Fail(ERROR_BAD_COMMAND);
    }
    if (busy) {  // no events asked for, or a wait already pending
        return Fail(ERROR_INVALID_PARAMETER);
    }
    Request local{Request::Kind::Wait, nullptr};
    Request* r = overlapped_ && ov != nullptr ? new Request{Request::Kind::Wait, ov} : &local;
    r->mask = mask;
    return Issue(r, nullptr);
}

BOOL ShimPort::Cancel(OVERLAPPED* ov, bool thisThreadOnly) {
    const DWORD me = GetCurrentThreadId();
    bool found = false;
    AcquireSRWLockExclusive(&lock_);
    for (auto it = requests_.begin(); it != requests_.end();) {
        Request* r = *it;
        ++it;
        if (ov != nullptr ? r->ov == ov : (!thisThreadOnly || r->thread == me)) {
            found = true;
            FinishLocked(r, kStatusCancelled);
        }
    }
    if (found) {
        ServeLocked();  // the read behind a cancelled one starts now, its time with it
    }
    ReleaseSRWLockExclusive(&lock_);
    if (found) {
        Wake();
    }
    if (!found && !thisThreadOnly) {
        return Fail(ERROR_NOT_FOUND);
    }
    return TRUE;
}

BOOL ShimPort::Result(OVERLAPPED* ov, DWORD* done, DWORD ms, BOOL alertable) {
    if (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == kStatusPending) {
        if (ms == 0) {
            return Fail(ERROR_IO_INCOMPLETE);
        }
        const HANDLE ev = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(ov->hEvent) & ~ULONG_PTR{1});
        if (ev != nullptr) {
            const DWORD w = WaitForSingleObjectEx(ev, ms, alertable);
            if (w == WAIT_TIMEOUT || w == WAIT_IO_COMPLETION) {
                return Fail(w);
            }
        } else {
            // No event of its own: the port's signal of any request's end.
            const ULONGLONG deadline = ms == INFINITE ? 0 : GetTickCount64() + ms;
            AcquireSRWLockExclusive(&lock_);
            while (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == kStatusPending) {
                DWORD left = INFINITE;
                if (deadline != 0) {
                    const ULONGLONG now = GetTickCount64();
                    if (now >= deadline) {
                        break;
                    }
                    left = static_cast<DWORD>(deadline - now);
                }
                SleepConditionVariableSRW(&changed_, &lock_, left, 0);
            }
            ReleaseSRWLockExclusive(&lock_);
        }
        if (__atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE) == kStatusPending) {
            return Fail(ms == INFINITE ? ERROR_IO_INCOMPLETE : WAIT_TIMEOUT);
        }
    }
    if (done != nullptr) {
        *done = static_cast<DWORD>(ov->InternalHigh);
    }
    const ULONG_PTR status = __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE);
    return status == kStatusSuccess ? TRUE : Fail(ErrorOfStatus(status));
}

// The input queue stays at its bound whatever is asked: a larger one gains
// nothing, as the bytes wait in the connection meanwhile.
BOOL ShimPort::Setup(DWORD, DWORD) { return Gone() ? Fail(ERROR_BAD_COMMAND) : TRUE; }

BOOL ShimPort::GetState(DCB* dcb) { return CopyOut(dcb, dcb_); }

BOOL ShimPort::SetState(const DCB* d) {
    if (d == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // What a serial driver refuses: no rate, data bits other than 5 to 8, an
    // unknown parity or stop size, 1.5 stop bits but with 5 data bits and 2 with
    // them, XON and XOFF the same character while software flow control is on.
    const bool bad = d->BaudRate == 0 || d->ByteSize < 5 || d->ByteSize > 8 || d->Parity > SPACEPARITY ||
                     d->StopBits > TWOSTOPBITS || (d->ByteSize == 5 && d->StopBits == TWOSTOPBITS) ||
                     (d->ByteSize != 5 && d->StopBits == ONE5STOPBITS) ||
                     ((d->fOutX || d->fInX) && d->XonChar == d->XoffChar);
    if (bad) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Ask([&](net::PortOutput* out) {
        const DCB was = dcb_;
        dcb_ = *d;
        dcb_.DCBlength = sizeof dcb_;
        if (was.BaudRate != d->BaudRate || was.ByteSize != d->ByteSize || was.Parity != d->Parity ||
            was.StopBits != d->StopBits) {
            engine_.RequestSettings({d->BaudRate, d->ByteSize, ParityOf(d->Parity), StopOf(d->StopBits)}, out);
        }
        if (FlowOutOf(was) != FlowOutOf(*d)) {
            engine_.RequestControl(FlowOutOf(*d), out);
        }
        const bool dtr = d->fDtrControl != DTR_CONTROL_DISABLE;
        if ((was.fDtrControl != DTR_CONTROL_DISABLE) != dtr) {
            engine_.RequestControl(dtr ? net::kCtlDtrOn : net::kCtlDtrOff, out);
        }
        const bool rts = d->fRtsControl != RTS_CONTROL_DISABLE;
        if ((was.fRtsControl != RTS_CONTROL_DISABLE) != rts) {
            engine_.RequestControl(rts ? net::kCtlRtsOn : net::kCtlRtsOff, out);
        }
    });
}

BOOL ShimPort::GetTimeouts(COMMTIMEOUTS* t) { return CopyOut(t, timeouts_); }

BOOL ShimPort::SetTimeouts(const COMMTIMEOUTS* t) {
    if (t == nullptr || (t->ReadIntervalTimeout == MAXDWORD && t->ReadTotalTimeoutMultiplier == MAXDWORD &&
                         t->ReadTotalTimeoutConstant == MAXDWORD)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    AcquireSRWLockExclusive(&lock_);
    const bool gone = gone_;
    if (!gone) {
        timeouts_ = *t;  // for reads and writes issued from now on
    }
    ReleaseSRWLockExclusive(&lock_);
    return gone ? Fail(ERROR_BAD_COMMAND) : TRUE;
}

BOOL ShimPort::ClearError(DWORD* errors, COMSTAT* stat) {
    AcquireSRWLockExclusive(&lock_);
    const bool gone = gone_;
    const DWORD queued = static_cast<DWORD>(QueuedLocked());
    const DWORD e = errors_;
    if (!gone) {
        errors_ = 0;
    }
    ReleaseSRWLockExclusive(&lock_);
    if (gone) {
        return Fail(ERROR_BAD_COMMAND);
    }
    if (errors != nullptr) {
        *errors = e;
    }
    if (stat != nullptr) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = queued;
        stat->cbOutQue = 0;  // writes end once the bytes are on the connection
    }
    return TRUE;
}

BOOL ShimPort::SetMask(DWORD mask) {
    if ((mask & ~kValidEvents) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    AcquireSRWLockExclusive(&lock_);
    if (gone_) {
        ReleaseSRWLockExclusive(&lock_);
        return Fail(ERROR_BAD_COMMAND);
    }
    for (auto it = requests_.begin(); it != requests_.end();) {
        Request* r = *it;
        ++it;
        if (r->kind == Request::Kind::Wait) {  // a pending wait ends with no event
            r->waitMask = 0;
            FinishLocked(r, kStatusSuccess);
        }
    }
    mask_ = mask;
    seen_ = 0;
    ReleaseSRWLockExclusive(&lock_);
    return TRUE;
}

BOOL ShimPort::GetMask(DWORD* mask) { return CopyOut(mask, mask_); }

BOOL ShimPort::Purge(DWORD flags) {
    if ((flags & ~DWORD{PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR}) != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    return Ask([&](net::PortOutput* out) {
        if ((flags & PURGE_RXABORT) != 0) {
            for (auto it = requests_.begin(); it != requests_.end();) {
                Request* r = *it;
                ++it;
                if (r->kind == Request::Kind::Read) {
                    FinishLocked(r, kStatusCancelled);
                }
            }
        }
        // PURGE_TXABORT: no write is ever pending here (a write ends once its
        // bytes are on the connection).
        if ((flags & PURGE_RXCLEAR) != 0) {
            queue_.clear();
            head_ = 0;
            Wake();  // room in the queue
        }
        const std::uint8_t purge = static_cast<std::uint8_t>(((flags & PURGE_RXCLEAR) != 0 ? net::kPurgeReceive : 0) |
                                                             ((flags & PURGE_TXCLEAR) != 0 ? net::kPurgeTransmit : 0));
        if (purge != 0) {
            engine_.RequestPurge(purge, out);
        }
    });
}

BOOL ShimPort::Escape(DWORD func) {
    std::uint8_t value = 0;
    switch (func) {
    case SETDTR: value = net::kCtlDtrOn; break;
    case CLRDTR: value = net::kCtlDtrOff; break;
    case SETRTS: value = net::kCtlRtsOn; break;
    case CLRRTS: value = net::kCtlRtsOff; break;
    case SETBREAK: value = net::kCtlBreakOn; break;
    case CLRBREAK: value = net::kCtlBreakOff; break;
    case SETXOFF:
    case SETXON:
    case RESETDEV: break;  // nothing to pass on: no flow of our own, no hardware to reset
    default: return Fail(ERROR_INVALID_PARAMETER);
    }
    return Ask([&](net::PortOutput* out) {
        if (value != 0) {
            engine_.RequestControl(value, out);
        }
    });
}

BOOL ShimPort::ModemStatus(DWORD* status) {
    if (status == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    AcquireSRWLockExclusive(&lock_);
    const bool gone = gone_;
    // The option's modem bits are Windows' MS_*_ON bits; CTS and DSR held until the
    // server says otherwise.
    *status = modemKnown_ ? (engine_.ModemState() & net::kModemLines) : (MS_CTS_ON | MS_DSR_ON);
    ReleaseSRWLockExclusive(&lock_);
    return gone ? Fail(ERROR_BAD_COMMAND) : TRUE;
}

BOOL ShimPort::Properties(COMMPROP* p) {
    if (p == nullptr) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (Gone()) {
        return Fail(ERROR_BAD_COMMAND);
    }
    std::memset(p, 0, sizeof *p);
    p->wPacketLength = sizeof *p;
    p->wPacketVersion = 2;
    p->dwServiceMask = SP_SERIALCOMM;
    p->dwMaxTxQueue = 0;
    p->dwMaxRxQueue = kInputQueue;
    p->dwMaxBaud = BAUD_USER;
    p->dwProvSubType = PST_RS232;
    p->dwProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD | PCF_PARITY_CHECK | PCF_XONXOFF | PCF_SETXCHAR |
                            PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_SPECIALCHARS;
    p->dwSettableParams = SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING | SP_PARITY_CHECK | SP_RLSD;
    p->dwSettableBaud = BAUD_075 | BAUD_110 | BAUD_150 | BAUD_300 | BAUD_600 | BAUD_1200 | BAUD_1800 | BAUD_2400 |
                        BAUD_4800 | BAUD_7200 | BAUD_9600 | BAUD_14400 | BAUD_19200 | BAUD_38400 | BAUD_56K |
                        BAUD_57600 | BAUD_115200 | BAUD_128K | BAUD_USER;
    p->wSettableData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
    p->wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD | PARITY_EVEN |
                             PARITY_MARK | PARITY_SPACE;
    p->dwCurrentTxQueue = 0;
    p->dwCurrentRxQueue = kInputQueue;
    return TRUE;
}

BOOL ShimPort::Flush() { return Gone() ? Fail(ERROR_BAD_COMMAND) : TRUE; }

void ShimPort::BindCompletionPort(HANDLE port, ULONG_PTR key) {
    AcquireSRWLockExclusive(&lock_);
    completionPort_ = port;
    completionKey_ = key;
    ReleaseSRWLockExclusive(&lock_);
}

void ShimPort::Close() {
    AcquireSRWLockExclusive(&lock_);
    closed_ = true;
    while (!requests_.empty()) {
        FinishLocked(requests_.front(), kStatusCancelled);
    }
    ReleaseSRWLockExclusive(&lock_);
    // zolhost takes one client at a time: the port is free for the next open only
    // once zolhost has seen this one leave, which its own close of the connection
    // says (the I/O thread reads that as the end).
    if (ring_) {
        ring_->SayClosed();
    }
    shutdown(socket_, SD_SEND);
    const ULONGLONG deadline = GetTickCount64() + kLetGoMs;
    AcquireSRWLockExclusive(&lock_);
    for (ULONGLONG now = GetTickCount64(); !gone_ && now < deadline; now = GetTickCount64()) {
        SleepConditionVariableSRW(&changed_, &lock_, static_cast<DWORD>(deadline - now), 0);
    }
    ending_ = true;
    ReleaseSRWLockExclusive(&lock_);
    Wake();
    if (thread_ != nullptr && GetCurrentThreadId() != GetThreadId(thread_)) {
        WaitForSingleObject(thread_, kIoThreadEndMs);
    }
}

}  // namespace zolhost::comshim
