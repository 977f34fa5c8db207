// Network endpoints: the host program's end of the link as a TCP listener
// (rfc2217:// or tcp://, one client at a time), and a device reached over the
// network (a connect to an RFC 2217 server such as ser2net, or raw TCP). Both
// carry their bytes through one out-queue: telnet replies and escaped data in the
// order they were made, bounded so that a peer that reads nothing cannot make it
// grow without end.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/net/net_url.h"
#include "host/net/shared_ring.h"
#include "host/net/tcp_socket.h"
#include "host/net/telnet_port.h"
#include "host/transport/endpoint.h"

namespace zolhost::net {

class NetEndpoint : public Endpoint {
public:
    // Bytes queued for the peer past which no more are taken from the link (and, for
    // replies the peer makes by its own requests, past which it is let go).
    static constexpr std::size_t kOutLimit = 64 * 1024;

    const std::string& Name() const override { return name_; }
    Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) override;
    Io Write(const std::uint8_t* p, std::size_t n, std::size_t* taken) override;
    Io WaitReadable(int timeoutMs, Beside* beside = nullptr) override { return Wait(false, timeoutMs, beside); }
    Io WaitWritable(int timeoutMs, Beside* beside = nullptr) override { return Wait(true, timeoutMs, beside); }
    int PollFd() const override;
    std::intptr_t WaitHandle() override { return event_.Handle(); }
    bool Waited() override;
    void Close() override;
    void TakeNotes(std::vector<LineNote>* out) override;
    std::string LineState() const override;
    std::optional<PeerLine> PeerSettings() const override;  // a server's client, over rfc2217://
    void WakeFor(std::size_t n) override;

protected:
    explicit NetEndpoint(const NetUrl& url) : url_(url) {}
    // A new connection: its telnet engine started (rfc2217), its queue empty.
    void Begin(Socket s);
    bool Connected() const { return socket_.Valid(); }
    // The last wake came from the client's rings: no socket has news.
    bool RingWake() const { return ring_ && !socketWoke_; }
    TelnetPort* Telnet() { return telnet_.get(); }
    void Note(LineNote::Kind kind, const std::string& text, bool dropToward = false, bool dropFrom = false);
    // Sends what the out-queue holds as far as the socket takes it.
    Io Flush();
    // The engine's replies and events; a server also answers control changes with
    // the modem lines they loop back to, and a client's ask for shared rings.
    void Take(PortOutput& out);
    // A server's answer to a client that asks for shared rings: the offer, where its
    // wait takes the socket's event (a wait that polls sockets would never wake for
    // the rings), else a refusal.
    void AnswerRingAsk();
    Io Wait(bool writable, int timeoutMs, Beside* beside = nullptr);

    NetUrl url_;
    std::string name_;
    bool server_ = false;
    SocketEvent event_;  // Windows: what the link's wait takes for this endpoint's sockets

private:
    Socket socket_;
    std::unique_ptr<TelnetPort> telnet_;
    std::vector<std::uint8_t> out_;   // for the peer, in order
    std::vector<std::uint8_t> held_;  // data held while the peer has suspended flow
    std::vector<LineNote> notes_;
    std::string lastState_;  // as the last connection left it
    std::size_t wakeFor_ = 1;  // the socket's readable mark (WakeFor)
    PortOutput scratch_;
    // The client's bytes through shared memory (shared_ring.h): the socket then
    // carries the first socketOwed_ bytes of out_ (up to and with the offer) and
    // is read only to hear the client leave: after a wake that found the rings
    // empty, once the client said it closed, and once a second besides (a client
    // killed as its last bytes came).
    std::unique_ptr<SharedRing> ring_;
    std::size_t socketOwed_ = 0;
    bool probe_ = false;
    bool ringRead_ = false;  // the rings gave bytes since the last wait
    bool socketWoke_ = false;  // the last wake was not the rings' (as far as can be told)
    std::chrono::steady_clock::time_point probedAt_{};
};

// The host program's end: listens on url (loopback unless an address is given) and
// serves one client at a time; a second is told so and closed. A client that
// leaves is a hang-up; the next one to connect brings the endpoint back. For
// rfc2217://, the device end has no modem lines of its own, so the client's DTR
// loops back to DSR and CD, and its RTS to CTS, as on a null-modem cable.
class ListenEndpoint : public NetEndpoint {
public:
    explicit ListenEndpoint(const NetUrl& url) : NetEndpoint(url) { server_ = true; }
    // Binds and listens; Name() is then the URL a client opens. false with *error.
    bool Listen(std::string* error);

    int PollFd() const override;
    int ComeBackFd() const override;
    int BusyFd() const override;
    void TurnAway() override;
    Io Reopen() override;
    void Unplug() override;
    std::string WhileGone(const std::string& why) const override;

private:
    TcpListener listener_;
};

// A device over the network: raw TCP, or an RFC 2217 server asked for 115200 8N1.
// Such servers in front of a pty leave SET-CONTROL unanswered: nothing waits for it.
class ConnectEndpoint : public NetEndpoint {
public:
    explicit ConnectEndpoint(const NetUrl& url) : NetEndpoint(url) { name_ = UrlText(url); }
    // Connects, and for rfc2217 waits until the server has taken part in the option
    // and answered the four settings; all within timeoutMs. false with *error.
    bool Open(int timeoutMs, std::string* error);

    Io Read(std::uint8_t* p, std::size_t n, std::size_t* got) override;
    Io Reopen() override;
    std::string WhileGone(const std::string& why) const override;

private:
    std::vector<std::uint8_t> early_;  // data that came with the answers
};

}  // namespace zolhost::net
