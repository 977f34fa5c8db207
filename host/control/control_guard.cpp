#include "host/control/control_guard.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "host/base/text.h"
#include "host/control/control_page.h"

namespace zolhost {

namespace {

bool IsApiPath(const std::string& path) {
    return path == "/api" || path.rfind("/api/", 0) == 0;
}

bool IsIpv4(std::string_view s) {
    int parts = 0;
    while (!s.empty()) {
        const std::size_t dot = s.find('.');
        const std::string_view part = s.substr(0, dot);
        if (part.empty() || part.size() > 3 || part.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoi(std::string(part)) > 255) {
            return false;
        }
        ++parts;
        s = dot == std::string_view::npos ? std::string_view() : s.substr(dot + 1);
        if (dot != std::string_view::npos && s.empty()) {
            return false;
        }
    }
    return parts == 4;
}

// An address written as one, never a name a page could have renamed.
bool IsAddress(std::string_view name) {
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        const std::string_view inner = name.substr(1, name.size() - 2);
        return inner.find(':') != std::string_view::npos && inner.find_first_not_of("0123456789abcdef:.") == std::string_view::npos;
    }
    return IsIpv4(name);
}

bool HostTaken(const std::string& host, const ControlAccess& a) {
    const std::size_t colon = host.rfind(':');
    if (colon == std::string::npos || (host.front() == '[' && host.find(']') > colon)) {
        return false;  // no port: the default one, which is not ours
    }
    const std::string name = AsciiLower(host.substr(0, colon));
    const std::string port = host.substr(colon + 1);
    if (port != std::to_string(a.port)) {
        return false;
    }
    return std::find(a.names.begin(), a.names.end(), name) != a.names.end() || (a.anyAddress && IsAddress(name));
}

std::string Decoded(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == '+' ? ' ' : s[i];
        }
    }
    return out;
}

// The value of `name` in a list of NAME=VALUE separated by `sep`.
std::optional<std::string> Field(std::string_view list, std::string_view name, char sep) {
    while (!list.empty()) {
        const std::size_t end = list.find(sep);
        std::string_view item = list.substr(0, end);
        while (!item.empty() && item.front() == ' ') {
            item.remove_prefix(1);
        }
        if (item.size() > name.size() && item.substr(0, name.size()) == name && item[name.size()] == '=') {
            return std::string(item.substr(name.size() + 1));
        }
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    }
    return std::nullopt;
}

// The token a request to the API gives: its bearer header, else the page's cookie.
std::string TokenGiven(const HttpRequest& r, std::uint16_t port) {
    if (const std::string* auth = r.Header("authorization")) {
        const std::size_t space = auth->find(' ');
        if (space != std::string::npos && AsciiLower(auth->substr(0, space)) == "bearer") {
            const std::size_t from = auth->find_first_not_of(' ', space);
            return from == std::string::npos ? std::string() : auth->substr(from);
        }
        return {};
    }
    if (const std::string* cookie = r.Header("cookie")) {
        return Field(*cookie, TokenCookieName(port), ';').value_or(std::string());
    }
    return {};
}

}  // namespace

ControlAccess AccessFor(const std::string& bound, std::uint16_t port, bool loopback, bool wildcard,
                        const std::string& hostName, const std::string& token) {
    ControlAccess a;
    a.port = port;
    a.token = token;
    a.anyAddress = wildcard;
    a.names.push_back(AsciiLower(bound.find(':') != std::string::npos ? "[" + bound + "]" : bound));
    if (loopback || wildcard) {
        for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) {
            a.names.emplace_back(name);
        }
    }
    if (wildcard && !hostName.empty()) {
        a.names.push_back(AsciiLower(hostName));
    }
    return a;
}

std::string TokenCookieName(std::uint16_t port) {
    return "zol_token_" + std::to_string(port);
}

bool SameToken(const std::string& given, const std::string& want) {
    if (want.empty() || given.size() != want.size()) {
        return false;
    }
    unsigned diff = 0;
    for (std::size_t i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned char>(given[i] ^ want[i]);
    }
    return diff == 0;
}

std::optional<std::string> PageToken(const HttpRequest& r) {
    const std::optional<std::string> t = Field(r.query, "token", '&');
    return t ? std::optional<std::string>(Decoded(*t)) : std::nullopt;
}

std::optional<ControlAnswer> AdmitControl(const HttpRequest& r, const ControlAccess& a) {
    for (const char* once : {"host", "origin", "authorization", "cookie", "content-type", "sec-fetch-site"}) {
        if (r.Count(once) > 1) {
            return ControlError(400, std::string("the header ") + once + " is given more than once");
        }
    }
    const std::string* host = r.Header("host");
    if (host == nullptr) {
        return ControlError(400, "a request needs its Host header");
    }
    if (!HostTaken(*host, a)) {
        return ControlError(421, "this is zolhost's control API on port " + std::to_string(a.port) + ", not \"" +
                                host->substr(0, 100) + "\": a request must name it by its own address");
    }
    const std::string* origin = r.Header("origin");
    if (origin != nullptr && AsciiLower(*origin) != "http://" + AsciiLower(*host)) {
        return ControlError(403, "a request from another page (Origin " + origin->substr(0, 100) + ") is refused");
    }
    if (!IsApiPath(r.path)) {
        return std::nullopt;  // the page, or a path that is not found
    }
    if (const std::string* site = r.Header("sec-fetch-site"); site != nullptr && *site != "same-origin" && *site != "none") {
        return ControlError(403, "a request sent from another site (Sec-Fetch-Site: " + site->substr(0, 40) + ") is refused");
    }
    if (!a.token.empty() && !SameToken(TokenGiven(r, a.port), a.token)) {
        return ControlError(401, Field(r.query, "token", '&')
                                ? "this API takes its token in \"Authorization: Bearer TOKEN\"; ?token= is for the page alone"
                                : "this API needs its token: \"Authorization: Bearer TOKEN\"");
    }
    if (r.method == "POST") {
        const std::string* type = r.Header("content-type");
        const std::string media = type == nullptr ? std::string() : AsciiLower(type->substr(0, type->find(';')));
        if (media.substr(0, media.find_last_not_of(" \t") + 1) != "application/json") {
            return ControlError(415, "a steering request must be sent as Content-Type: application/json");
        }
    }
    return std::nullopt;
}

HttpResponse ControlResponse(const ControlAnswer& a) {
    HttpResponse out;
    out.status = a.status;
    out.body = a.body;
    if (!a.allow.empty()) {
        out.headers.emplace_back("Allow", a.allow);
    }
    return out;
}

HttpResponse AnswerRequest(const HttpRequest& r, const ControlAccess& a, const ControlContext& c) {
    const std::string method = r.method == "HEAD" ? "GET" : r.method;
    if (IsApiPath(r.path)) {
        return ControlResponse(AnswerControl({method, r.path, r.body}, c));
    }
    if (r.path != "/") {
        return ControlResponse(
            ControlError(404, "no such page: " + r.path.substr(0, 200) + " (the page is /, the API /api/devices)"));
    }
    if (method != "GET") {
        ControlAnswer refused = ControlError(405, "the page is read with GET");
        refused.allow = "GET, HEAD";
        return ControlResponse(refused);
    }
    if (const std::optional<std::string> token = PageToken(r)) {
        if (!a.token.empty() && !SameToken(*token, a.token)) {
            return ControlResponse(ControlError(401, "the page was opened with a token that is not this API's"));
        }
        // The token goes into a cookie that only this page's own requests carry,
        // and out of the address bar and the browser's history.
        HttpResponse out = ControlResponse(ControlError(303, "see /"));
        out.headers.emplace_back("Location", "/");
        if (!a.token.empty()) {
            out.headers.emplace_back("Set-Cookie",
                                     TokenCookieName(a.port) + "=" + a.token + "; Path=/; HttpOnly; SameSite=Strict");
        }
        return out;
    }
    HttpResponse out;
    out.contentType = "text/html; charset=utf-8";
    out.body = kControlPage;
    out.headers.emplace_back("Content-Security-Policy",
                             "default-src 'self'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                             "frame-ancestors 'none'");
    out.headers.emplace_back("X-Frame-Options", "DENY");
    out.headers.emplace_back("Referrer-Policy", "no-referrer");
    return out;
}

}  // namespace zolhost
