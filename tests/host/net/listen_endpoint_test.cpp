// A host end on the network steered by the link: unplugged, it refuses every
// connection from that moment, its client's included, until it is made again.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "host/link/link.h"
#include "host/net/net_endpoint.h"
#include "host/transport/memory_endpoint.h"

namespace zolhost::net {
namespace {

TEST(ListenEndpoint, AnUnpluggedListenerRefusesTheNextClientAtOnce) {
    std::string error;
    const auto url = ParseNetUrl("tcp://127.0.0.1:0", UrlUse::Listen, &error);
    ASSERT_TRUE(url) << error;
    ListenEndpoint host(*url);
    ASSERT_TRUE(host.Listen(&error)) << error;
    MemoryEndpoint device("device");
    LinkRecord record(false);
    Link link(host, device, RelayConfig{}, record);
    const auto now = Clock::now();
    const std::uint16_t port = static_cast<std::uint16_t>(std::stoul(host.Name().substr(host.Name().rfind(':') + 1)));
    Socket client = TcpConnect("127.0.0.1", port, 2000, &error);
    ASSERT_TRUE(client.Valid()) << error;
    for (int i = 0; i < 400 && link.End(Side::Host).state != LinkEnd::State::Open; ++i) {
        link.TryOpen(link.End(Side::Host), now);  // takes the client in once the listener has it
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(link.End(Side::Host).state, LinkEnd::State::Open);

    // The endpoint is still there (it goes once the link has let go of it), and
    // nothing gets in meanwhile: a host program coming back at once is refused.
    link.Unplug(Side::Host, now);
    EXPECT_FALSE(TcpConnect("127.0.0.1", port, 2000, &error).Valid());
    EXPECT_NE(error.find("Connection refused"), std::string::npos) << error;
    ASSERT_TRUE(WaitSocket(client, false, 2000));
    std::uint8_t b[8];
    EXPECT_EQ(SocketRead(client, b, sizeof b).status, Io::HungUp);
}

// A client that asks for shared rings where the server cannot give them (no
// system to, or a wait that polls its sockets) is told so at once, and its bytes
// keep to the socket: none is lost to the ask.
TEST(ListenEndpoint, AClientAskingForSharedRingsIsRefusedAndKeepsToItsSocket) {
    std::string error;
    const auto url = ParseNetUrl("rfc2217://127.0.0.1:0", UrlUse::Listen, &error);
    ASSERT_TRUE(url) << error;
    ListenEndpoint host(*url);
    ASSERT_TRUE(host.Listen(&error)) << error;
    const std::uint16_t port = static_cast<std::uint16_t>(std::stoul(host.Name().substr(host.Name().rfind(':') + 1)));
    Socket client = TcpConnect("127.0.0.1", port, 2000, &error);
    ASSERT_TRUE(client.Valid()) << error;
    for (int i = 0; i < 400 && host.Reopen() != Io::Done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<std::uint8_t> ask;
    TelnetPort::SharedRingMessage(kRingAsk, "", &ask);
    ask.insert(ask.end(), {'a', 'b', 'c'});
    ASSERT_EQ(SocketWrite(client, ask.data(), ask.size()).n, ask.size());
    std::string data;
    for (int i = 0; i < 400 && data.size() < 3; ++i) {
        std::uint8_t b[64];
        std::size_t got = 0;
        if (host.Read(b, sizeof b, &got) == Io::WouldBlock) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        data.append(b, b + got);
    }
    EXPECT_EQ(data, "abc");
    std::vector<std::uint8_t> heard(4096);
    ASSERT_TRUE(WaitSocket(client, false, 2000));
    heard.resize(SocketRead(client, heard.data(), heard.size()).n);
    std::vector<std::uint8_t> refusal;
    TelnetPort::SharedRingMessage(kRingRefused, "", &refusal);
    EXPECT_NE(std::search(heard.begin(), heard.end(), refusal.begin(), refusal.end()), heard.end());
}

}  // namespace
}  // namespace zolhost::net
