// A small RFC 2217 server for the interop test, built from zolhost's engine and
// listener: it answers each good request as the device does (the frame rules'
// reply), mirrors DTR onto DSR and RTS onto CTS as a loop-back plug would, and
// drops what a purge names. Listens on loopback, port 0; prints its URL alone on a
// line, then one line per event, and a summary as it ends (SIGTERM, or after
// LIMIT seconds, default 60).
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/net/net_url.h"
#include "host/net/tcp_socket.h"
#include "host/net/telnet_port.h"
#include "protocol/frame_rules.h"

using namespace zolhost::net;
using zolhost::Io;

namespace {

volatile sig_atomic_t stop = 0;
void OnTerm(int) { stop = 1; }

struct Stats {
    int clients = 0, turnedAway = 0, requests = 0, purges = 0;
    LineSettings last;
};

std::uint8_t Lines(const PortControl& c) {
    return static_cast<std::uint8_t>((c.dtr ? kModemDsr : 0) | (c.rts ? kModemCts : 0));
}

// One client, until it leaves, the limit passes or SIGTERM comes.
void Serve(TcpListener& listener, Socket client, Stats* stats, std::chrono::steady_clock::time_point end) {
    TelnetPort port(TelnetPort::Role::Server);
    PortOutput out;
    std::vector<std::uint8_t> pending;  // for the network
    std::vector<std::uint8_t> request;  // bytes of a request not yet whole
    port.SetModemLines(Lines(port.Control()), &out);
    port.Start(&out);
    for (;;) {
        for (const PortEvent& e : out.events) {
            std::printf("event: %s\n", EventText(e).c_str());
            if (e.kind == PortEvent::Kind::Purge) {
                ++stats->purges;
                if (e.value & kPurgeTransmit) {
                    request.clear();  // what the host sent and the device has not taken
                }
                // Replies go out as they are made: nothing waits to be received.
            }
            if (e.kind == PortEvent::Kind::Control) {
                port.SetModemLines(Lines(port.Control()), &out);
            }
        }
        std::fflush(stdout);
        out.events.clear();
        for (const std::uint8_t b : out.data) {
            if (request.empty() && b != kRequestStart) {
                continue;  // noise
            }
            request.push_back(b);
            if (request.size() == kRequestSize) {
                if (request[kRequestEndAt] == kRequestEnd &&
                    FrameChecksum(request.data(), kRequestSize - 1) == request[kRequestSize - 1]) {
                    const ReplyFrame reply = MakeReply(ReplyEa(request[1]));
                    TelnetPort::Escape(reply.data(), reply.size(), &pending);
                    ++stats->requests;
                }
                request.clear();
            }
        }
        pending.insert(pending.end(), out.network.begin(), out.network.end());
        out.clear();
        stats->last = port.Settings();

        pollfd fds[2] = {{static_cast<int>(client.Handle()), static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0},
                         {static_cast<int>(listener.Sock().Handle()), POLLIN, 0}};
        if (stop || std::chrono::steady_clock::now() > end) {
            return;
        }
        if (poll(fds, 2, 100) <= 0) {
            continue;
        }
        if (fds[1].revents & POLLIN) {
            listener.TurnAway("busy: one client at a time");
            ++stats->turnedAway;
            std::printf("turned away a second client\n");
        }
        if (fds[0].revents & POLLOUT) {
            const IoResult w = SocketWrite(client, pending.data(), pending.size());
            if (w.status == Io::Done) {
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(w.n));
            } else if (w.status != Io::WouldBlock) {
                return;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            std::uint8_t buf[4096];
            const IoResult r = SocketRead(client, buf, sizeof buf);
            if (r.status == Io::HungUp || r.status == Io::Failed) {
                std::printf("client left\n");
                return;
            }
            port.FromNetwork(buf, r.n, &out);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int limit = argc > 1 ? std::atoi(argv[1]) : 60;
    signal(SIGTERM, OnTerm);
    signal(SIGPIPE, SIG_IGN);
    TcpListener listener;
    std::string error;
    if (!listener.Listen("127.0.0.1", 0, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", UrlText({NetUrl::Scheme::Rfc2217, "127.0.0.1", listener.Port()}).c_str());
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    Stats stats;
    while (!stop && std::chrono::steady_clock::now() < end) {
        pollfd fd = {static_cast<int>(listener.Sock().Handle()), POLLIN, 0};
        if (poll(&fd, 1, 100) > 0) {
            std::string peer;
            Socket client = listener.Accept(&peer);
            if (client.Valid()) {
                ++stats.clients;
                std::printf("client from %s\n", peer.c_str());
                Serve(listener, std::move(client), &stats, end);
            }
        }
    }
    std::printf("summary: clients %d turned away %d requests %d purges %d settings %s\n", stats.clients,
                stats.turnedAway, stats.requests, stats.purges, SettingsText(stats.last).c_str());
    return 0;
}
