// libFuzzer target: the telnet / RFC 2217 engine on whatever a network peer sends.
//
// The input's first byte chooses the role (bit 0) and the size of the pieces the rest
// is cut into (bits 1-6, plus one). Two checks:
//  1. The rest, as network bytes, into one engine piece by piece: each call gives out
//     no more data than it took, replies within the engine's bound, at most one event
//     per byte taken.
//  2. The rest, as data, between a server and a client wired to each other: after
//     their opening both have agreed the option and the client's settings are
//     answered; the data arrives unchanged each way; no reply loop (the exchange goes
//     quiet within a few rounds). Each piece also moves the server's modem lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "host/net/telnet_port.h"

namespace {

using zolhost::net::PortOutput;
using zolhost::net::TelnetPort;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Fail(const char* what, std::size_t got, std::size_t limit) {
    std::fprintf(stderr, "telnet port: %s (%zu, limit %zu)\n", what, got, limit);
    std::abort();
}

// What the agreement sends once, beyond the per-byte bound.
constexpr std::size_t kOnce = 64;

void CheckOne(TelnetPort& port, const std::uint8_t* p, std::size_t n, PortOutput* out) {
    out->clear();
    port.FromNetwork(p, n, out);
    if (out->data.size() > n) {
        Fail("more data out than bytes in", out->data.size(), n);
    }
    if (out->network.size() > 3 * n + kOnce) {
        Fail("replies beyond the bound", out->network.size(), 3 * n + kOnce);
    }
    if (out->events.size() > n) {
        Fail("more events than bytes in", out->events.size(), n);
    }
}

// Delivers a's replies to b and b's to a until neither has anything to say.
void Settle(TelnetPort& a, PortOutput* fromA, TelnetPort& b, PortOutput* fromB, Bytes* dataAtA, Bytes* dataAtB) {
    for (int round = 0; !fromA->network.empty() || !fromB->network.empty(); ++round) {
        if (round > 8) {
            Fail("replies never stop", round, 8);
        }
        const Bytes toB = fromA->network;
        const Bytes toA = fromB->network;
        CheckOne(b, toB.data(), toB.size(), fromB);
        dataAtB->insert(dataAtB->end(), fromB->data.begin(), fromB->data.end());
        CheckOne(a, toA.data(), toA.size(), fromA);
        dataAtA->insert(dataAtA->end(), fromA->data.begin(), fromA->data.end());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const auto role = (data[0] & 1) != 0 ? TelnetPort::Role::Client : TelnetPort::Role::Server;
    const std::size_t piece = ((data[0] >> 1) & 0x3F) + 1u;
    const std::uint8_t* rest = data + 1;
    const std::size_t n = size - 1;

    // 1. Network bytes into one engine.
    {
        TelnetPort port(role);
        PortOutput out;
        port.Start(&out);
        for (std::size_t i = 0; i < n; i += piece) {
            CheckOne(port, rest + i, n - i < piece ? n - i : piece, &out);
        }
    }

    // 2. Data between two engines.
    TelnetPort server(TelnetPort::Role::Server);
    TelnetPort client(TelnetPort::Role::Client);
    PortOutput fromServer, fromClient;
    Bytes atServer, atClient;
    server.Start(&fromServer);
    client.Start(&fromClient);
    Settle(server, &fromServer, client, &fromClient, &atServer, &atClient);
    if (server.ComPort() != TelnetPort::Agreement::Agreed || client.ComPort() != TelnetPort::Agreement::Agreed ||
        !client.SettingsAnswered()) {
        Fail("the two engines did not agree", 0, 0);
    }
    for (std::size_t i = 0; i < n; i += piece) {
        const std::size_t len = n - i < piece ? n - i : piece;
        fromServer.clear();
        fromClient.clear();
        server.SetModemLines(rest[i], &fromServer);
        TelnetPort::Escape(rest + i, len, &fromServer.network);
        TelnetPort::Escape(rest + i, len, &fromClient.network);
        Settle(server, &fromServer, client, &fromClient, &atServer, &atClient);
    }
    if (atServer != Bytes(rest, rest + n) || atClient != Bytes(rest, rest + n)) {
        Fail("data changed on its way", atClient.size(), n);
    }
    if ((client.ModemState() & 0xF0) != (n > 0 ? rest[((n - 1) / piece) * piece] & 0xF0 : 0)) {
        Fail("client's modem state is not the server's", client.ModemState(), 0);
    }
    return 0;
}
