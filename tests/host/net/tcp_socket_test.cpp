// TCP helpers over loopback: a connect reaches the listener, and a failed one says why.
#include "host/net/tcp_socket.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#endif

namespace zolhost::net {
namespace {

TEST(TcpSocket, ConnectReachesTheListenerOrSaysWhyNot) {
    TcpListener listener;
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, &error)) << error;
    ASSERT_NE(listener.Port(), 0);
    Socket client = TcpConnect("localhost", listener.Port(), 2000, &error);
    ASSERT_TRUE(client.Valid()) << error;
    ASSERT_TRUE(WaitSocket(listener.Sock(), false, 2000));
    std::string peer;
    Socket served = listener.Accept(&peer);
    ASSERT_TRUE(served.Valid());
    EXPECT_EQ(peer.rfind("127.0.0.1:", 0), 0u) << peer;
    EXPECT_FALSE(listener.Accept(nullptr).Valid());  // none waits: no block

    const std::uint8_t bytes[] = {0x02, 0xFF, 0x00};
    EXPECT_EQ(SocketWrite(client, bytes, sizeof bytes).n, sizeof bytes);
    ASSERT_TRUE(WaitSocket(served, false, 2000));
    std::uint8_t got[8];
    const IoResult r = SocketRead(served, got, sizeof got);
    EXPECT_EQ(r.status, Io::Done);
    EXPECT_EQ(std::vector<std::uint8_t>(got, got + r.n), std::vector<std::uint8_t>(bytes, bytes + 3));
    EXPECT_EQ(SocketRead(served, got, sizeof got).status, Io::WouldBlock);
#ifndef _WIN32
    // Readable once three bytes are there, not at the first; a hang-up still is at once.
    SetReadableAt(served, 3);
    EXPECT_EQ(SocketWrite(client, bytes, 2).n, 2u);
    EXPECT_FALSE(WaitSocket(served, false, 100));
    EXPECT_EQ(SocketWrite(client, bytes + 2, 1).n, 1u);
    ASSERT_TRUE(WaitSocket(served, false, 2000));
    EXPECT_EQ(SocketRead(served, got, sizeof got).n, 3u);
#endif
    client.Close();
    ASSERT_TRUE(WaitSocket(served, false, 2000));
    EXPECT_EQ(SocketRead(served, got, sizeof got).status, Io::HungUp);

    // Nothing listens on the port any more; a name that does not resolve.
    const std::uint16_t port = listener.Port();
    listener = TcpListener();
    EXPECT_FALSE(TcpConnect("127.0.0.1", port, 2000, &error).Valid());
    EXPECT_NE(error.find("cannot connect to 127.0.0.1:" + std::to_string(port) + ": Connection refused"),
              std::string::npos) << error;
    EXPECT_FALSE(TcpConnect("no-such-host.invalid", 80, 2000, &error).Valid());
    EXPECT_NE(error.find("cannot resolve 'no-such-host.invalid'"), std::string::npos) << error;
    // The port in use: said so.
    TcpListener first, second;
    ASSERT_TRUE(first.Listen("127.0.0.1", 0, &error));
    EXPECT_FALSE(second.Listen("127.0.0.1", first.Port(), &error));
    EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
}

#ifndef _WIN32
// serve starts a zolemul per device from threads of its own while others hold
// sockets: a socket a child inherited would keep a connection open that zolhost
// closed.
TEST(TcpSocket, NoSocketIsInheritedByAProgramZolhostStarts) {
    TcpListener listener;
    std::string error;
    ASSERT_TRUE(listener.Listen("127.0.0.1", 0, &error)) << error;
    Socket client = TcpConnect("127.0.0.1", listener.Port(), 2000, &error);
    ASSERT_TRUE(client.Valid()) << error;
    ASSERT_TRUE(WaitSocket(listener.Sock(), false, 2000));
    Socket served = listener.Accept(nullptr);
    ASSERT_TRUE(served.Valid());
    for (const Socket* s : std::initializer_list<const Socket*>{&listener.Sock(), &client, &served}) {
        EXPECT_NE(fcntl(static_cast<int>(s->Handle()), F_GETFD) & FD_CLOEXEC, 0);
    }
}
#endif

}  // namespace
}  // namespace zolhost::net
