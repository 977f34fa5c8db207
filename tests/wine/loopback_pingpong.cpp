// The least a round trip over loopback TCP between two programs costs on this
// system (under Wine: between two Wine processes), for tools/run-bench-wine.py to
// set beside zolhost run's: nothing but blocking send and recv of 7 bytes out and
// 9 back, no link, no device.
//   loopback_pingpong serve PORT    answers each 7 bytes with 9 until its client goes
//   loopback_pingpong ping PORT N   N round trips; prints the median in us
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool Exactly(SOCKET s, char* p, int n) {
    for (int got = 0; got < n;) {
        const int r = recv(s, p + got, n - got, 0);
        if (r <= 0) {
            return false;
        }
        got += r;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: loopback_pingpong serve PORT | ping PORT N\n");
        return 2;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(static_cast<u_short>(std::atoi(argv[2])));
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const BOOL on = TRUE;
    char buf[16] = {};
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (std::strcmp(argv[1], "serve") == 0) {
        if (bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(s, 1) != 0) {
            std::fprintf(stderr, "cannot listen: %d\n", WSAGetLastError());
            return 1;
        }
        std::printf("listening\n");
        std::fflush(stdout);
        const SOCKET c = accept(s, nullptr, nullptr);
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        while (Exactly(c, buf, 7) && send(c, buf, 9, 0) == 9) {
        }
        return 0;
    }
    if (argc < 4 || connect(s, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        std::fprintf(stderr, "cannot connect: %d\n", WSAGetLastError());
        return 1;
    }
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    std::vector<double> us(static_cast<std::size_t>(std::max(1, std::atoi(argv[3]))));
    for (double& u : us) {
        const auto t0 = std::chrono::steady_clock::now();
        if (send(s, buf, 7, 0) != 7 || !Exactly(s, buf, 9)) {
            std::fprintf(stderr, "the other side went\n");
            return 1;
        }
        u = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    }
    std::nth_element(us.begin(), us.begin() + static_cast<std::ptrdiff_t>(us.size() / 2), us.end());
    std::printf("%.0f\n", us[us.size() / 2]);
    return 0;
}
