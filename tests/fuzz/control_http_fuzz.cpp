// libFuzzer target: serve's control API on whatever a client sends it, as the
// server reads it (the request reader, the guard, the routes, the page's token).
//
// The input's first byte chooses the size of the pieces the rest is cut into (bits
// 0-5, plus one) and whether the API has a token (bit 6). Checks, on every request
// of the stream in turn:
//  - the reader makes progress on every piece and never takes more than it is given;
//  - a request read whole has a body within the bound, however it was sent;
//  - a refusal has a status of 4xx or 5xx and says why;
//  - no device is asked anything unless the guard let the request through, and
//    never a device that does not exist;
//  - every answer is a response whose Content-Length is its body's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host/control/control_guard.h"
#include "host/control/http_message.h"

namespace {

using zolhost::HttpRequestReader;
using Phase = HttpRequestReader::Phase;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "control http: %s\n", what);
    std::abort();
}

constexpr std::size_t kDevices = 3;

void CheckResponse(const zolhost::HttpResponse& r) {
    const std::string text = zolhost::ResponseText(r, true);
    const std::string length = "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    if (text.rfind("HTTP/1.1 ", 0) != 0 || text.find(length) == std::string::npos ||
        text.compare(text.size() - r.body.size(), r.body.size(), r.body) != 0) {
        Fail("a response that does not frame its body");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t piece = (data[0] & 0x3f) + 1u;
    const zolhost::ControlAccess access =
        zolhost::AccessFor("127.0.0.1", 8000, true, false, "box", (data[0] & 0x40) != 0 ? "s3cret" : "");
    bool admitted = false;
    zolhost::ControlContext context;
    context.devices = kDevices;
    context.ask = [&admitted](const zolhost::SteerCommand& c) -> std::optional<zolhost::DeviceView> {
        if (!admitted || c.device >= kDevices) {
            Fail("a device asked for a request the guard did not let through, or one that does not exist");
        }
        zolhost::DeviceView v;
        v.index = c.device;
        return v;
    };
    HttpRequestReader reader;
    const char* p = reinterpret_cast<const char*>(data + 1);
    std::size_t left = size - 1;
    while (left > 0) {
        const Phase before = reader.State();
        const std::size_t n = std::min(piece, left);
        const std::size_t took = reader.Take(p, n);
        if (took > n || (took == 0 && (before == Phase::Head || before == Phase::Body) && reader.State() == before)) {
            Fail("the reader took more than it was given, or nothing while it wanted bytes");
        }
        p += took;
        left -= took;
        if (reader.State() == Phase::HeadReady) {
            const std::optional<zolhost::ControlAnswer> refused = zolhost::AdmitControl(reader.Request(), access);
            if (refused) {
                if (refused->status < 400 || refused->status > 599 || refused->body.find("\"error\"") == std::string::npos) {
                    Fail("a refusal that is not one, or says nothing");
                }
                return 0;  // the connection closes
            }
            admitted = true;
            reader.ReadBody();
        }
        if (reader.State() == Phase::Ready) {
            if (reader.Request().body.size() > zolhost::HttpLimits{}.body) {
                Fail("a body past the bound");
            }
            CheckResponse(zolhost::AnswerRequest(reader.Request(), access, context));
            admitted = false;
            reader.Next();
        }
        if (reader.State() == Phase::Failed) {
            if (reader.FailStatus() < 400 || reader.FailStatus() > 599 || reader.FailReason().empty()) {
                Fail("a refusal of the reader's that is not one, or says nothing");
            }
            return 0;
        }
    }
    return 0;
}
