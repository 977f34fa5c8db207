// Network endpoints named as URLs: rfc2217://HOST:PORT (telnet with the
// COM-PORT-OPTION) and tcp://HOST:PORT (raw bytes). HOST is a name, an IPv4 address
// or an IPv6 address in brackets; nothing may follow the port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zolhost::net {

struct NetUrl {
    enum class Scheme { Rfc2217, Tcp };
    Scheme scheme = Scheme::Tcp;
    std::string host;  // without brackets
    std::uint16_t port = 0;
};

// Whether text is meant as a URL ("something://"), not a path.
bool LooksLikeUrl(std::string_view text);

// To listen on: an empty host means loopback (127.0.0.1) and port 0 a free port.
// To connect to: host and a port from 1 up are needed. On bad input, nullopt and a
// sentence naming what is wrong in *error.
enum class UrlUse { Listen, Connect };
std::optional<NetUrl> ParseNetUrl(std::string_view text, UrlUse use, std::string* error);

// "rfc2217://127.0.0.1:41234", "tcp://[::1]:5000".
std::string UrlText(const NetUrl& url);

}  // namespace zolhost::net
