// shared_ring_probe: the shared rings of a connection (host/net/shared_ring.h)
// carrying far more than they hold both ways at once, between a server's end and a
// client's end joined by its offer, each side's reader and writer on threads of
// their own, the readers slow at times so that the writers wait for room. Every
// byte must arrive in order, and no wait may be lost: each wait has a bound, and
// one that runs out is a failure. An offer that names nothing is refused.
//
//   shared_ring_probe
//
// One line per check: "ok <check> <detail>" or "FAIL <check> <detail>"; last line
// "done <passed> <failed>"; the exit status is 0 only when no check failed.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

#include "host/net/shared_ring.h"

namespace {

using zolhost::net::SharedRing;

constexpr std::size_t kTotal = 1 << 20;  // sixteen rings' worth each way
constexpr DWORD kWaitBound = 5000;       // a wake this late was lost

int gPassed = 0;
int gFailed = 0;

void Check(bool ok, const char* name, const std::string& detail) {
    std::printf("%s %s %s\n", ok ? "ok" : "FAIL", name, detail.c_str());
    std::fflush(stdout);
    (ok ? gPassed : gFailed)++;
}

std::uint8_t Pattern(std::size_t at, unsigned seed) { return static_cast<std::uint8_t>((at * 131 + seed) % 251); }

// Lengths that wander from 1 to about 20000 bytes.
std::size_t Next(std::size_t n) { return n * 7 % 19997 + 1; }

// One side's pattern, written as the ring takes it.
struct Source {
    explicit Source(unsigned s) : seed(s) {}
    unsigned seed;
    std::size_t at = 0;
    std::size_t n = 1;
    std::vector<std::uint8_t> chunk = std::vector<std::uint8_t>(20000);
    // Writes what fits; true when it wrote anything.
    bool Put(SharedRing& r) {
        const std::size_t want = std::min(n, kTotal - at);
        for (std::size_t k = 0; k < want; ++k) {
            chunk[k] = Pattern(at + k, seed);
        }
        const std::size_t put = r.Write(chunk.data(), want);
        at += put;
        n = put == want ? Next(n) : want - put;
        return put > 0;
    }
};

// The other side's check of it.
struct Sink {
    explicit Sink(unsigned s) : seed(s) {}
    unsigned seed;
    std::size_t at = 0;
    std::size_t n = 1;
    std::string why;
    std::vector<std::uint8_t> buf = std::vector<std::uint8_t>(30000);
    bool Take(SharedRing& r) {
        n = Next(n);
        const std::size_t got = r.Read(buf.data(), n);
        for (std::size_t k = 0; k < got && why.empty(); ++k) {
            if (buf[k] != Pattern(at + k, seed)) {
                why = "byte " + std::to_string(at + k) + " wrong";
            }
        }
        at += got;
        if (n % 97 == 0) {
            Sleep(1);  // a slow reader now and then: the writer fills the ring
        }
        return got > 0;
    }
};

template <typename F>
DWORD WINAPI Call(void* f) {
    (*static_cast<F*>(f))();
    return 0;
}

// f() on a thread of its own (the runtime here has no std::thread).
template <typename F>
HANDLE Start(F* f) {
    return CreateThread(nullptr, 0, Call<F>, f, 0, nullptr);
}

// Runs `step` until done(); whenever it does nothing, waits on `event`: a wait
// that runs out was a lost wake.
template <typename Step, typename Done>
std::string Loop(HANDLE event, Step step, Done done, const char* what) {
    while (!done()) {
        if (!step() && WaitForSingleObject(event, kWaitBound) != WAIT_OBJECT_0 && !done()) {
            return std::string("no wake for the ") + what;
        }
    }
    return "";
}

}  // namespace

int main() {
    const HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // the server's, as its socket's event
    std::string offer;
    const auto server = SharedRing::Make(reinterpret_cast<std::intptr_t>(wake), &offer);
    const auto client = server ? SharedRing::Join(offer) : nullptr;
    Check(server && client, "joined", offer);
    if (server && client) {
        // The client's reader and writer on threads of their own, each with its
        // event; the server's both in one loop on its one event, as the link is.
        Source up{1};
        Sink upSeen{1};
        Source down{2};
        Sink downSeen{2};
        std::string writer;
        std::string reader;
        auto writes = [&] {
            writer = Loop(reinterpret_cast<HANDLE>(client->RoomEvent()), [&] { return up.Put(*client); },
                          [&] { return up.at == kTotal; }, "client's room");
        };
        auto reads = [&] {
            reader = Loop(reinterpret_cast<HANDLE>(client->DataEvent()), [&] { return downSeen.Take(*client); },
                          [&] { return downSeen.at == kTotal || !downSeen.why.empty(); }, "client's bytes");
        };
        const HANDLE threads[] = {Start(&writes), Start(&reads)};
        const std::string serverWhy = Loop(
            wake,
            [&] {
                const bool put = down.at < kTotal && down.Put(*server);
                return upSeen.Take(*server) || put;
            },
            [&] { return (upSeen.at == kTotal && down.at == kTotal) || !upSeen.why.empty(); }, "server");
        WaitForMultipleObjects(2, threads, TRUE, INFINITE);
        const std::string upWhy = upSeen.why + writer + (upSeen.at == kTotal ? "" : " " + serverWhy);
        const std::string downWhy = downSeen.why + reader;
        Check(upWhy.empty() && upSeen.at == kTotal, "to-server-in-order", std::to_string(upSeen.at) + " bytes " + upWhy);
        Check(downWhy.empty() && downSeen.at == kTotal, "to-client-in-order",
              std::to_string(downSeen.at) + " bytes " + downWhy + serverWhy);
        client->SayClosed();
        Check(server->PeerClosed() && server->Empty() && client->Empty(), "closed-and-drained", "");
    }
    Check(SharedRing::Join("12 34") == nullptr && SharedRing::Join(std::to_string(GetCurrentProcessId()) + " 1 2 3 4") == nullptr,
          "bad-offer-refused", "");
    std::printf("done %d %d\n", gPassed, gFailed);
    return gFailed == 0 ? 0 : 1;
}
