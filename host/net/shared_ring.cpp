#include "host/net/shared_ring.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#endif

namespace zolhost::net {

#if defined(_WIN32)

// Fixed-size fields only: a 32-bit client maps what a 64-bit server made. Each
// side's counter has a cache line of its own.
struct SharedRing::Half {
    std::uint32_t head;      // bytes ever written (the writer's)
    std::uint32_t wantRoom;  // the writer waits for room (set by it, cleared by the reader)
    std::uint8_t pad0[56];
    std::uint32_t tail;      // bytes ever read (the reader's)
    std::uint8_t pad1[60];
    std::uint8_t data[kBytes];
};

struct SharedRing::Layout {
    std::uint32_t clientClosed;
    std::uint8_t pad[60];
    Half toServer;
    Half toClient;
};

namespace {

HANDLE H(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t I(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

void CloseIf(std::intptr_t h) {
    if (h != 0) {
        CloseHandle(H(h));
    }
}

std::uint32_t Load(const std::uint32_t& v) { return __atomic_load_n(&v, __ATOMIC_SEQ_CST); }
void Store(std::uint32_t& v, std::uint32_t x) { __atomic_store_n(&v, x, __ATOMIC_SEQ_CST); }

}  // namespace

SharedRing::~SharedRing() {
    if (view_ != nullptr) {
        UnmapViewOfFile(view_);
    }
    CloseIf(section_);
    CloseIf(made_[0]);
    CloseIf(made_[1]);
    if (!server_) {
        CloseIf(ownData_);
        CloseIf(ownRoom_);
        CloseIf(peerData_);  // peerRoom_ is the same event
    }
}

bool SharedRing::Map(std::intptr_t section) {
    section_ = section;
    view_ = static_cast<Layout*>(MapViewOfFile(H(section), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(Layout)));
    return view_ != nullptr;
}

std::unique_ptr<SharedRing> SharedRing::Make(std::intptr_t wake, std::string* offer) {
    std::unique_ptr<SharedRing> r(new SharedRing());
    r->server_ = true;
    const HANDLE section =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Layout), nullptr);
    if (section == nullptr || !r->Map(I(section))) {
        *offer = "no section";
        return nullptr;
    }
    r->made_[0] = I(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    r->made_[1] = I(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (r->made_[0] == 0 || r->made_[1] == 0 || wake == 0) {
        *offer = "no events";
        return nullptr;
    }
    r->ownData_ = r->ownRoom_ = wake;
    r->peerData_ = r->made_[0];
    r->peerRoom_ = r->made_[1];
    char text[96];
    std::snprintf(text, sizeof text, "%lu %llu %llu %llu %llu", GetCurrentProcessId(),
                  static_cast<unsigned long long>(r->section_), static_cast<unsigned long long>(wake),
                  static_cast<unsigned long long>(r->made_[0]), static_cast<unsigned long long>(r->made_[1]));
    *offer = text;
    return r;
}

std::unique_ptr<SharedRing> SharedRing::Join(const std::string& offer) {
    unsigned long pid = 0;
    unsigned long long h[4] = {};
    char rest = 0;
    if (std::sscanf(offer.c_str(), "%lu %llu %llu %llu %llu%c", &pid, &h[0], &h[1], &h[2], &h[3], &rest) != 5) {
        return nullptr;
    }
    const HANDLE server = OpenProcess(PROCESS_DUP_HANDLE, FALSE, pid);
    if (server == nullptr) {
        return nullptr;
    }
    std::intptr_t mine[4] = {};
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
        HANDLE dup = nullptr;
        ok = ok && DuplicateHandle(server, reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(h[k])),
                                   GetCurrentProcess(), &dup, 0, FALSE, DUPLICATE_SAME_ACCESS);
        mine[k] = I(dup);
    }
    CloseHandle(server);
    std::unique_ptr<SharedRing> r(new SharedRing());
    r->peerData_ = r->peerRoom_ = mine[1];
    r->ownData_ = mine[2];
    r->ownRoom_ = mine[3];
    if (!r->Map(mine[0]) || !ok) {
        return nullptr;  // each handle duplicated is closed with r
    }
    return r;
}

std::size_t SharedRing::Write(const std::uint8_t* p, std::size_t n) {
    Half& h = server_ ? view_->toClient : view_->toServer;
    std::size_t done = 0;
    for (;;) {
        const std::uint32_t head = Load(h.head);
        const std::uint32_t held = head - Load(h.tail);
        const std::size_t room = held > kBytes ? 0 : kBytes - held;
        const std::size_t take = std::min(room, n - done);
        const std::size_t at = head % kBytes;
        const std::size_t first = std::min(take, kBytes - at);
        std::memcpy(h.data + at, p + done, first);
        std::memcpy(h.data, p + done + first, take - first);
        Store(h.head, head + static_cast<std::uint32_t>(take));
        done += take;
        if (done == n || held > kBytes) {
            break;
        }
        // Too little room: ask for a wake, then look once more, as the reader may
        // have taken some before it could see the mark.
        Store(h.wantRoom, 1);
        const std::uint32_t again = Load(h.head) - Load(h.tail);
        if (again >= kBytes) {
            break;
        }
    }
    if (done > 0) {
        SetEvent(H(peerData_));
    }
    return done;
}

std::size_t SharedRing::Read(std::uint8_t* p, std::size_t n) {
    Half& h = server_ ? view_->toServer : view_->toClient;
    const std::uint32_t tail = Load(h.tail);
    const std::uint32_t held = Load(h.head) - tail;
    if (held > kBytes) {
        return 0;
    }
    const std::size_t take = std::min<std::size_t>(held, n);
    const std::size_t at = tail % kBytes;
    const std::size_t first = std::min(take, kBytes - at);
    std::memcpy(p, h.data + at, first);
    std::memcpy(p + first, h.data, take - first);
    Store(h.tail, tail + static_cast<std::uint32_t>(take));
    if (take > 0 && __atomic_exchange_n(&h.wantRoom, 0u, __ATOMIC_SEQ_CST) != 0) {
        SetEvent(H(peerRoom_));
    }
    return take;
}

bool SharedRing::Empty() const {
    const Half& h = server_ ? view_->toServer : view_->toClient;
    const std::uint32_t held = Load(h.head) - Load(h.tail);
    return held == 0 || held > kBytes;
}

void SharedRing::SayClosed() {
    Store(view_->clientClosed, 1);
    SetEvent(H(peerData_));
}

bool SharedRing::PeerClosed() const {
    return Load(view_->clientClosed) != 0;
}

#else

// Elsewhere a connection keeps to its socket: the server refuses the rings.
struct SharedRing::Layout {};
SharedRing::~SharedRing() = default;
bool SharedRing::Map(std::intptr_t) { return false; }
std::unique_ptr<SharedRing> SharedRing::Make(std::intptr_t, std::string* offer) {
    *offer = "not on this system";
    return nullptr;
}
std::unique_ptr<SharedRing> SharedRing::Join(const std::string&) { return nullptr; }
std::size_t SharedRing::Write(const std::uint8_t*, std::size_t) { return 0; }
std::size_t SharedRing::Read(std::uint8_t*, std::size_t) { return 0; }
bool SharedRing::Empty() const { return true; }
void SharedRing::SayClosed() {}
bool SharedRing::PeerClosed() const { return false; }

#endif

}  // namespace zolhost::net
