#include "host/net/ends.h"

#include <cstdio>

#include "host/base/text.h"
#include "host/net/net_endpoint.h"
#include "host/net/net_url.h"
#include "host/local/pty_endpoint.h"
#include "host/local/serial_endpoint.h"

namespace zolhost {

std::unique_ptr<Endpoint> OpenDeviceEnd(const std::string& port, int timeoutMs, std::string* error) {
    if (net::LooksLikeUrl(port)) {
        const auto url = net::ParseNetUrl(port, net::UrlUse::Connect, error);
        if (!url) {
            return nullptr;
        }
        auto ep = std::make_unique<net::ConnectEndpoint>(*url);
        return ep->Open(timeoutMs, error) ? std::move(ep) : nullptr;
    }
    return SerialEndpoint::Opened(port, error);
}

std::unique_ptr<Endpoint> MakeHostEnd(const std::string& hostPath, std::string* error, bool announce) {
    if (net::LooksLikeUrl(hostPath)) {
        const auto url = net::ParseNetUrl(hostPath, net::UrlUse::Listen, error);
        if (!url) {
            return nullptr;
        }
        auto ep = std::make_unique<net::ListenEndpoint>(*url);
        if (!ep->Listen(error)) {
            return nullptr;
        }
        if (!announce) {
            return ep;
        }
        Say("host end ready: listening at " + ep->Name() + "; open it from your host program" +
            (url->scheme == net::NetUrl::Scheme::Rfc2217 ? " (RFC 2217: no authentication)" : ""));
        std::printf("%s\n", ep->Name().c_str());
        std::fflush(stdout);
        return ep;
    }
    const std::size_t slash = hostPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : hostPath.substr(0, slash);
    const std::string file = slash == std::string::npos ? hostPath : hostPath.substr(slash + 1);
    auto pty = std::make_unique<PtyEndpoint>();
    if (!pty->Create(dir, file, error)) {
        return nullptr;
    }
    pty->KeepTransparent(true);
    pty->WatchPeerLine();
    if (!announce) {
        return pty;
    }
    Say("host end ready: " + pty->Name() + " -> " + pty->DevicePath() +
        "; open it from your host program as its serial port");
    return pty;
}

}  // namespace zolhost
