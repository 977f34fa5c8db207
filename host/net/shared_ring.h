// A way for an RFC 2217 connection's bytes between two processes of one Windows
// machine that costs no socket call: two one-way rings in a section, and an event
// for each waiter. Under Wine every socket call, wait and event is a call to Wine's
// server; the rings leave one SetEvent for each write and one wait for each wake.
//
// The connection's TCP socket stays: it is how a client is taken or turned away,
// how either side's leaving is heard, and where the two agree on the rings. The
// client asks for them (an offer of zolhost's own telnet subnegotiation, after its
// answer to the server's greeting, as the last thing it sends over TCP); the server
// answers with the offer (the last thing it sends over TCP) or a refusal, and from
// then on each side's bytes go through the rings, in the order they were made.
//
// The server makes the section and the client's two events and names them by their
// handles in its own process; the client duplicates them into its own (any process
// of the same user may). The server's own event is the one its wait already takes
// for the connection's socket.
//
// Each ring has one writer and one reader. The writer sets the reader's event after
// each write; a writer that found too little room says so in the ring, and the
// reader sets its event once it has taken some (each side looks at the other's mark
// after its own store, so neither wake is lost). Counts from the other process are
// checked: a ring whose counts make no sense reads as empty and takes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zolhost::net {

// zolhost's telnet option for it, never offered: only asked for by subnegotiation.
// IAC SB kOptSharedRing kRingAsk IAC SE; the answer kRingOffer "pid section event
// data room" or kRingRefused.
inline constexpr std::uint8_t kOptSharedRing = 0xE7;
inline constexpr std::uint8_t kRingRefused = 0;
inline constexpr std::uint8_t kRingAsk = 1;
inline constexpr std::uint8_t kRingOffer = 2;

class SharedRing {
public:
    static constexpr std::size_t kBytes = 64 * 1024;  // each way

    ~SharedRing();
    SharedRing(const SharedRing&) = delete;
    SharedRing& operator=(const SharedRing&) = delete;

    // The server's: the rings and the client's events, `wake` set by the client
    // when it wrote or made room. *offer: what the client joins by. nullptr where
    // the system has none, or with *offer saying why.
    static std::unique_ptr<SharedRing> Make(std::intptr_t wake, std::string* offer);
    // The client's, from the server's offer; nullptr when it cannot be joined.
    static std::unique_ptr<SharedRing> Join(const std::string& offer);

    // As much of p[0..n) as fits, the reader woken; when not all fitted, this side
    // is woken once the reader has taken some.
    std::size_t Write(const std::uint8_t* p, std::size_t n);
    // Up to n bytes; a writer waiting for room is woken.
    std::size_t Read(std::uint8_t* p, std::size_t n);
    bool Empty() const;
    // The client: it closed its port, the server's next read hears the socket.
    void SayClosed();
    bool PeerClosed() const;
    // The client's events: bytes came, room came.
    std::intptr_t DataEvent() const { return ownData_; }
    std::intptr_t RoomEvent() const { return ownRoom_; }

private:
    struct Layout;
    struct Half;
    SharedRing() = default;
    bool Map(std::intptr_t section);

    bool server_ = false;
    std::intptr_t section_ = 0;
    Layout* view_ = nullptr;
    std::intptr_t ownData_ = 0;   // the client's (the server waits on its socket's event)
    std::intptr_t ownRoom_ = 0;
    std::intptr_t peerData_ = 0;  // set after a write
    std::intptr_t peerRoom_ = 0;  // set after a read that made room the peer waits for
    std::intptr_t made_[2] = {0, 0};  // the server's: the client's events, kept until it ends
};

}  // namespace zolhost::net
