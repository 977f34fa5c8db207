#include "host/net/net_url.h"

#include <cctype>

#include "host/base/text.h"

namespace zolhost::net {

namespace {

bool HostChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

}  // namespace

bool LooksLikeUrl(std::string_view text) {
    const auto at = text.find("://");
    if (at == std::string_view::npos || at == 0) {
        return false;
    }
    for (char c : text.substr(0, at)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

std::optional<NetUrl> ParseNetUrl(std::string_view text, UrlUse use, std::string* error) {
    const auto fail = [&](const std::string& why) -> std::optional<NetUrl> {
        error->assign(1, '\'').append(text).append("': ").append(why);
        return std::nullopt;
    };
    const auto at = text.find("://");
    if (at == std::string_view::npos) {
        return fail("not a URL; expected rfc2217://HOST:PORT or tcp://HOST:PORT");
    }
    NetUrl url;
    const std::string scheme = AsciiLower(text.substr(0, at));
    if (scheme == "rfc2217") {
        url.scheme = NetUrl::Scheme::Rfc2217;
    } else if (scheme == "tcp") {
        url.scheme = NetUrl::Scheme::Tcp;
    } else {
        return fail("unknown scheme '" + scheme + "'; expected rfc2217:// or tcp://");
    }
    std::string_view rest = text.substr(at + 3);
    std::string_view host;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string_view::npos) {
            return fail("'[' without ']' around the IPv6 address");
        }
        host = rest.substr(1, close - 1);
        if (host.empty() || host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
            return fail("'" + std::string(host) + "' is not an IPv6 address");
        }
        rest = rest.substr(close + 1);
        if (rest.empty() || rest.front() != ':') {
            return fail("no ':PORT' after the address");
        }
    } else {
        const auto colon = rest.find(':');
        if (colon == std::string_view::npos) {
            return fail("no ':PORT'");
        }
        host = rest.substr(0, colon);
        rest = rest.substr(colon);
        for (char c : host) {
            if (!HostChar(c)) {
                return fail("bad character '" + std::string(1, c) + "' in the host");
            }
        }
    }
    const std::string_view port = rest.substr(1);  // after ':'
    if (port.empty()) {
        return fail("no port after ':'");
    }
    unsigned long value = 0;
    for (std::size_t i = 0; i < port.size(); ++i) {
        const char c = port[i];
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return fail("unexpected '" + std::string(port.substr(i)) + "' in or after the port");
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
        if (value > 65535) {
            return fail("port " + std::string(port) + " is out of range (0 to 65535)");
        }
    }
    url.port = static_cast<std::uint16_t>(value);
    url.host = std::string(host);
    if (use == UrlUse::Listen) {
        if (url.host.empty()) {
            url.host = "127.0.0.1";
        }
    } else {
        if (url.host.empty()) {
            return fail("no host to connect to");
        }
        if (url.port == 0) {
            return fail("port 0 cannot be connected to");
        }
    }
    return url;
}

std::string UrlText(const NetUrl& url) {
    const bool v6 = url.host.find(':') != std::string::npos;
    return std::string(url.scheme == NetUrl::Scheme::Rfc2217 ? "rfc2217://" : "tcp://") + (v6 ? "[" : "") +
           url.host + (v6 ? "]" : "") + ":" + std::to_string(url.port);
}

}  // namespace zolhost::net
