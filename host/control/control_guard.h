// The control API's front: who may use it, decided on a request's head before its
// body is read, and where an admitted request goes. A web page the user has open can make the browser send requests to the
// API's port; they do nothing here:
//   - the Host must name this server (a page that renamed itself to this address,
//     DNS rebinding, gives its own name, and is refused with 421);
//   - a request carrying an Origin other than the API's own, or marked as sent
//     from another site (Sec-Fetch-Site), is refused with 403;
//   - a steering request (POST) must be Content-Type: application/json, which no
//     page can send to another origin without the browser first asking (a CORS
//     preflight, which is never granted): anything else gets 415;
//   - a token, when the API has one, comes in "Authorization: Bearer TOKEN" (the
//     scheme in any case) or in the page's cookie, which the browser sends only
//     with the page's own requests; ?token= is taken by the page alone (GET /),
//     which puts it in that cookie and sends the browser back to "/" without it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/control/control_api.h"
#include "host/control/http_message.h"

namespace zolhost {

struct ControlAccess {
    std::uint16_t port = 0;
    // Host names (without the port) a request may give: the bound address, and for a
    // loopback bind "localhost", "127.0.0.1" and "[::1]".
    std::vector<std::string> names;
    bool anyAddress = false;  // bound to every address: any IP address is taken too
    std::string token;        // required of the API's requests when not empty
};

// Where the API listens, as the guard needs it: `bound` the numeric address it is
// bound to ("127.0.0.1", "::1", "0.0.0.0", "::"), `loopback` and `wildcard` what
// that address is, `hostName` this machine's name (taken on a wildcard bind).
ControlAccess AccessFor(const std::string& bound, std::uint16_t port, bool loopback, bool wildcard,
                        const std::string& hostName, const std::string& token);

// The cookie that carries the page's token (one a port: cookies do not tell ports apart).
std::string TokenCookieName(std::uint16_t port);

// Nothing when the request may go on to be read and answered; else its refusal.
std::optional<ControlAnswer> AdmitControl(const HttpRequest& head, const ControlAccess& a);

// The token the page was opened with (GET /?token=T): T, or nothing when none was given.
std::optional<std::string> PageToken(const HttpRequest& r);

// Compares without stopping at the first difference; an empty `want` matches nothing.
bool SameToken(const std::string& given, const std::string& want);

// The API's answer as an HTTP response (its Allow header with a 405).
HttpResponse ControlResponse(const ControlAnswer& a);

// An admitted request answered, with no I/O: the page (GET /; ?token= put in the
// page's cookie and the browser sent back to "/"), the API (HEAD as GET), or 404.
HttpResponse AnswerRequest(const HttpRequest& r, const ControlAccess& a, const ControlContext& c);

}  // namespace zolhost
