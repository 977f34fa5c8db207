// The control API's front door on requests written out as a client sends them:
// how the bytes are read into a request (in any pieces, bounded however the body is
// sent), and which requests a web page could forge are refused before any device is
// asked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/control/control_guard.h"
#include "host/control/http_message.h"

namespace zolhost {
namespace {

using Phase = HttpRequestReader::Phase;

// The reader after `text` is given in pieces of `piece` bytes, its body read once
// the head is.
HttpRequestReader ReadIn(const std::string& text, std::size_t piece = 1 << 20) {
    HttpRequestReader r;
    std::size_t at = 0;
    while (at < text.size() && r.State() != Phase::Failed && r.State() != Phase::Ready) {
        at += r.Take(text.data() + at, std::min(piece, text.size() - at));
        if (r.State() == Phase::HeadReady) {
            r.ReadBody();
        }
    }
    return r;
}

TEST(HttpRequestReader, ReadsTheSameRequestInAnyPiecesAndBoundsTheBodyHoweverItIsSent) {
    const std::string fixed =
        "POST /api/devices/0/faults?x=1 HTTP/1.1\r\nHost: h:1\r\nContent-Length: 16\r\n\r\n{\"drop_pct\": 10}";
    const std::string chunked = "POST /api/devices/0/faults HTTP/1.1\r\nHost: h:1\r\nTransfer-Encoding: Chunked\r\n\r\n"
                                "5;ext=1\r\n{\"dro\r\nB\r\np_pct\": 10}\r\n0\r\nTrailer: x\r\n\r\n";
    for (const std::string& text : {fixed, chunked}) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, text.size()}) {
            const HttpRequestReader r = ReadIn(text, piece);
            ASSERT_EQ(r.State(), Phase::Ready) << piece << " " << r.FailReason();
            EXPECT_EQ(r.Request().body, "{\"drop_pct\": 10}");
            EXPECT_EQ(r.Request().path, "/api/devices/0/faults");
            EXPECT_EQ(*r.Request().Header("host"), "h:1");
        }
    }
    // A POST with neither a length nor chunks has an empty body, read at once.
    const HttpRequestReader empty = ReadIn("POST /api/devices/0/unplug HTTP/1.1\r\nHost: h:1\r\n\r\n");
    EXPECT_EQ(empty.State(), Phase::Ready);
    EXPECT_TRUE(empty.Request().body.empty());

    // Two requests in one piece: the reader stops after the first, the rest is the next.
    const std::string two = "GET /a HTTP/1.1\r\nHost: h:1\r\n\r\nGET /b HTTP/1.0\r\n\r\n";
    HttpRequestReader r;
    std::size_t at = r.Take(two.data(), two.size());
    ASSERT_EQ(r.State(), Phase::HeadReady);
    r.ReadBody();
    EXPECT_TRUE(r.Request().KeepAlive());
    r.Next();
    at += r.Take(two.data() + at, two.size() - at);
    EXPECT_EQ(at, two.size());
    EXPECT_EQ(r.Request().path, "/b");
    EXPECT_FALSE(r.Request().KeepAlive());  // HTTP/1.0 without keep-alive
}

TEST(HttpRequestReader, RefusesWhatIsTooBigOrAmbiguousWithItsStatusAndWhy) {
    const std::string host = "Host: h:1\r\n";
    const std::vector<std::pair<std::string, int>> refused = {
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: 4097\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n1001\r\n", 413},
        {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n", 413},
        {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n800\r\n" +
             std::string(0x800, 'x') + "\r\n800\r\n" + std::string(0x800, 'x') + "\r\n1\r\n",
         413},
        {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\n" + host + "Transfer-Encoding: gzip, chunked\r\n\r\n", 501},
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: 3\r\nContent-Length: 4\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\n" + host + "Content-Length: -5\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n" + host + host + "\r\n", 400},
        {"GET / HTTP/2.0\r\n" + host + "\r\n", 505},
        {"GET http://h:1/ HTTP/1.1\r\n" + host + "\r\n", 400},
        {"GET / HTTP/1.1\r\n" + host + " folded\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n" + host + "X: a\rb\r\n\r\n", 400},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n", 414},
        {"GET / HTTP/1.1\r\n" + host + "X: " + std::string(9000, 'a'), 431},
    };
    for (const auto& [text, status] : refused) {
        const HttpRequestReader r = ReadIn(text, 3);
        EXPECT_EQ(r.State(), Phase::Failed) << text.substr(0, 80);
        EXPECT_EQ(r.FailStatus(), status) << text.substr(0, 80);
        EXPECT_FALSE(r.FailReason().empty());
    }
    std::string many = "GET / HTTP/1.1\r\n" + host;
    for (int i = 0; i < 64; ++i) {
        many += "X: y\r\n";
    }
    EXPECT_EQ(ReadIn(many + "\r\n").FailStatus(), 431);
}

// A request as a browser or a client sends it to the API on loopback port 8000.
HttpRequest Request(const std::string& method, const std::string& target, const std::vector<std::string>& headers) {
    std::string text = method + " " + target + " HTTP/1.1\r\n";
    for (const std::string& h : headers) {
        text += h + "\r\n";
    }
    const HttpRequestReader r = ReadIn(text + "\r\n");
    EXPECT_EQ(r.State(), Phase::Ready) << r.FailReason();
    return r.Request();
}

int Admitted(const ControlAccess& a, const HttpRequest& r) {
    const std::optional<ControlAnswer> refused = AdmitControl(r, a);
    return refused ? refused->status : 0;
}

TEST(ControlGuard, RefusesWhatAPageCouldForgeAndTakesTheApisOwnClients) {
    const ControlAccess a = AccessFor("127.0.0.1", 8000, true, false, "box", "");
    const std::string json = "Content-Type: application/json";
    // The API's own clients: curl, the plugin, the page itself.
    for (const char* host : {"Host: 127.0.0.1:8000", "Host: localhost:8000", "Host: [::1]:8000", "Host: LOCALHOST:8000"}) {
        EXPECT_EQ(Admitted(a, Request("POST", "/api/devices/0/unplug", {host, json})), 0) << host;
    }
    EXPECT_EQ(Admitted(a, Request("POST", "/api/devices/0/faults",
                                  {"Host: 127.0.0.1:8000", "Content-Type: Application/JSON; charset=utf-8",
                                   "Origin: http://127.0.0.1:8000", "Sec-Fetch-Site: same-origin"})),
              0);
    // A page's simple cross-site requests, and a page renamed to this address.
    const std::vector<std::pair<std::vector<std::string>, int>> forged = {
        {{"Host: 127.0.0.1:8000", "Content-Type: text/plain", "Origin: http://evil.example"}, 403},
        {{"Host: 127.0.0.1:8000", "Content-Type: text/plain"}, 415},
        {{"Host: 127.0.0.1:8000", "Content-Type: application/x-www-form-urlencoded"}, 415},
        {{"Host: 127.0.0.1:8000"}, 415},
        {{"Host: 127.0.0.1:8000", json, "Origin: null"}, 403},
        {{"Host: 127.0.0.1:8000", json, "Sec-Fetch-Site: cross-site"}, 403},
        {{"Host: attacker.example:8000", json}, 421},
        {{"Host: 127.0.0.1:8001", json}, 421},
        {{"Host: 127.0.0.1", json}, 421},
        {{"Host: 127.0.0.2:8000", json}, 421},
        {{"Host: 127.0.0.1:8000", json, "Origin: http://evil.example", "Origin: http://127.0.0.1:8000"}, 400},
    };
    for (const auto& [headers, status] : forged) {
        EXPECT_EQ(Admitted(a, Request("POST", "/api/devices/0/unplug", headers)), status) << headers[0] << headers.back();
    }
    // Reads too: a renamed page reads nothing.
    EXPECT_EQ(Admitted(a, Request("GET", "/api/devices", {"Host: attacker.example:8000"})), 421);

    // Bound to every address: any address written as one reaches it, a name only its own.
    const ControlAccess any = AccessFor("0.0.0.0", 8000, false, true, "box", "t");
    EXPECT_EQ(Admitted(any, Request("GET", "/api/devices", {"Host: 10.1.2.3:8000", "Authorization: Bearer t"})), 0);
    EXPECT_EQ(Admitted(any, Request("GET", "/api/devices", {"Host: [fe80::1]:8000", "Authorization: Bearer t"})), 0);
    EXPECT_EQ(Admitted(any, Request("GET", "/api/devices", {"Host: box:8000", "Authorization: Bearer t"})), 0);
    EXPECT_EQ(Admitted(any, Request("GET", "/api/devices", {"Host: evil.example:8000", "Authorization: Bearer t"})), 421);
}

TEST(ControlGuard, TakesTheTokenFromTheHeaderInAnyCaseOrThePagesCookieNeverFromTheUrl) {
    const ControlAccess a = AccessFor("127.0.0.1", 8000, true, false, "box", "s3cret");
    const std::string host = "Host: 127.0.0.1:8000";
    for (const char* auth : {"Authorization: Bearer s3cret", "Authorization: bearer s3cret", "Authorization: BEARER  s3cret",
                             "Cookie: a=b; zol_token_8000=s3cret"}) {
        EXPECT_EQ(Admitted(a, Request("GET", "/api/devices", {host, auth})), 0) << auth;
    }
    for (const char* auth : {"Authorization: Bearer s3cre", "Authorization: Basic s3cret", "Authorization: s3cret",
                             "Cookie: zol_token_8001=s3cret", "X: none"}) {
        EXPECT_EQ(Admitted(a, Request("GET", "/api/devices", {host, auth})), 401) << auth;
    }
    const std::optional<ControlAnswer> inUrl = AdmitControl(Request("GET", "/api/devices?token=s3cret", {host}), a);
    ASSERT_TRUE(inUrl.has_value());
    EXPECT_EQ(inUrl->status, 401);
    EXPECT_NE(inUrl->body.find("page alone"), std::string::npos) << inUrl->body;

    // The page takes ?token= once: into a cookie its own requests carry, and out of the URL.
    ControlContext none;
    const HttpResponse page = AnswerRequest(Request("GET", "/?token=s3cret", {host}), a, none);
    EXPECT_EQ(page.status, 303);
    auto header = [&page](const std::string& name) {
        for (const auto& [n, v] : page.headers) {
            if (n == name) {
                return v;
            }
        }
        return std::string();
    };
    const std::string cookie = header("Set-Cookie");
    EXPECT_EQ(header("Location"), "/");
    EXPECT_EQ(cookie.rfind("zol_token_8000=s3cret;", 0), 0u) << cookie;
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(AnswerRequest(Request("GET", "/?token=wrong", {host}), a, none).status, 401);
    const HttpResponse missing = AnswerRequest(Request("GET", "/nothing", {host}), a, none);
    EXPECT_EQ(missing.status, 404);
    EXPECT_NE(missing.body.find("/nothing"), std::string::npos);
}

}  // namespace
}  // namespace zolhost
