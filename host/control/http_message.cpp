#include "host/control/http_message.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "host/base/text.h"

namespace zolhost {

namespace {

// A chunk-size line (with its extensions) or a trailer line, at most.
constexpr std::size_t kLongestLine = 1024;

// RFC 7230's tchar: what a method or a header's name is made of.
bool IsTokenChar(unsigned char c) {
    static constexpr std::string_view kMarks = "!#$%&'*+-.^_`|~";
    return std::isalnum(c) != 0 || kMarks.find(static_cast<char>(c)) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return IsTokenChar(static_cast<unsigned char>(c)); });
}

std::string_view Trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// Each element of a comma-separated header value, trimmed and in lower case.
std::vector<std::string> ListOf(std::string_view v) {
    std::vector<std::string> items;
    while (!v.empty()) {
        const std::size_t comma = v.find(',');
        const std::string_view item = Trimmed(v.substr(0, comma));
        if (!item.empty()) {
            items.push_back(AsciiLower(item));
        }
        v = comma == std::string_view::npos ? std::string_view() : v.substr(comma + 1);
    }
    return items;
}

// The end of the head (just past its empty line) in s, searched from `from`; npos
// when not there yet. Lines end in CRLF or, leniently, LF.
std::size_t EndOfHead(const std::string& s, std::size_t from) {
    for (std::size_t i = from; i < s.size(); ++i) {
        if (s[i] != '\n') {
            continue;
        }
        if (i + 1 < s.size() && s[i + 1] == '\n') {
            return i + 2;
        }
        if (i + 2 < s.size() && s[i + 1] == '\r' && s[i + 2] == '\n') {
            return i + 3;
        }
    }
    return std::string::npos;
}

}  // namespace

const std::string* HttpRequest::Header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
        if (n == name) {
            return &v;
        }
    }
    return nullptr;
}

std::size_t HttpRequest::Count(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(), [name](const auto& h) { return h.first == name; }));
}

bool HttpRequest::KeepAlive() const {
    bool close = false;
    bool keep = false;
    for (const auto& [n, v] : headers) {
        if (n == "connection") {
            for (const std::string& item : ListOf(v)) {
                close = close || item == "close";
                keep = keep || item == "keep-alive";
            }
        }
    }
    return !close && (minorVersion >= 1 || keep);
}

void HttpRequestReader::Fail(int status, std::string reason) {
    phase_ = Phase::Failed;
    failStatus_ = status;
    failReason_ = std::move(reason);
}

std::size_t HttpRequestReader::Take(const char* p, std::size_t n) {
    std::size_t used = 0;
    while (used < n && (phase_ == Phase::Head || phase_ == Phase::Body)) {
        used += phase_ == Phase::Head ? TakeHead(p + used, n - used) : TakeBody(p + used, n - used);
    }
    return used;
}

std::size_t HttpRequestReader::TakeHead(const char* p, std::size_t n) {
    std::size_t used = 0;
    // Empty lines before a request line are passed over (RFC 7230 3.5).
    while (head_.empty() && used < n && (p[used] == '\r' || p[used] == '\n')) {
        ++used;
    }
    if (used == n) {
        return used;
    }
    started_ = true;
    // At most one byte past the bound is kept: enough to know the head is too long.
    const std::size_t take = std::min(n - used, limits_.head + 1 - head_.size());
    const std::size_t before = head_.size();
    head_.append(p + used, take);
    const std::size_t end = EndOfHead(head_, headScanned_ > 2 ? headScanned_ - 2 : 0);
    if (end == std::string::npos) {
        headScanned_ = head_.size();
        if (head_.size() > limits_.head) {
            const bool lineDone = head_.find('\n') != std::string::npos;
            Fail(lineDone ? 431 : 414, lineDone ? "the request's headers are longer than " + std::to_string(limits_.head) + " bytes"
                                                : "the request line is longer than " + std::to_string(limits_.head) + " bytes");
        }
        return used + take;
    }
    head_.resize(end);
    if (ReadHead()) {
        phase_ = Phase::HeadReady;
    }
    return used + (end - before);
}

bool HttpRequestReader::ReadHead() {
    std::string_view rest(head_);
    bool first = true;
    while (!rest.empty()) {
        const std::size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest.remove_prefix(nl + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.find('\r') != std::string_view::npos) {
            Fail(400, "a bare carriage return in the request's head");
            return false;
        }
        if (line.empty()) {
            break;
        }
        if (first ? !ReadRequestLine(line) : !ReadHeaderLine(line)) {
            return false;
        }
        first = false;
    }
    return ChooseFraming();
}

bool HttpRequestReader::ReadRequestLine(std::string_view line) {
    const std::size_t sp1 = line.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        Fail(400, "the request line must be METHOD PATH HTTP/1.1");
        return false;
    }
    const std::string_view method = line.substr(0, sp1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = line.substr(sp2 + 1);
    if (!IsToken(method) || method.size() > 32) {
        Fail(400, "the request's method is not a method");
        return false;
    }
    const bool visible = std::all_of(target.begin(), target.end(), [](char c) { return c > ' ' && c < 0x7f; });
    if (target.empty() || target.front() != '/' || !visible) {
        Fail(400, "the request's target must be a path (\"/api/devices\"), in visible ASCII");
        return false;
    }
    if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || !std::isdigit(static_cast<unsigned char>(version[5])) ||
        version[6] != '.' || !std::isdigit(static_cast<unsigned char>(version[7]))) {
        Fail(400, "the request line must end in HTTP/1.1");
        return false;
    }
    if (version[5] != '1' || version[7] > '1') {
        Fail(505, "HTTP/1.0 and HTTP/1.1 are served, not " + std::string(version));
        return false;
    }
    request_.method = std::string(method);
    request_.target = std::string(target);
    const std::size_t q = target.find('?');
    request_.path = std::string(target.substr(0, q));
    request_.query = q == std::string_view::npos ? std::string() : std::string(target.substr(q + 1));
    request_.minorVersion = version[7] - '0';
    return true;
}

bool HttpRequestReader::ReadHeaderLine(std::string_view line) {
    if (line.front() == ' ' || line.front() == '\t') {
        Fail(400, "a header folded over lines");
        return false;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
        Fail(400, "a header line must be NAME: VALUE");
        return false;
    }
    const std::string_view value = Trimmed(line.substr(colon + 1));
    const bool clean = std::all_of(value.begin(), value.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u == '\t' || (u >= ' ' && u != 0x7f);
    });
    if (!clean) {
        Fail(400, "a header's value holds a control character");
        return false;
    }
    if (request_.headers.size() >= limits_.headers) {
        Fail(431, "more than " + std::to_string(limits_.headers) + " headers");
        return false;
    }
    request_.headers.emplace_back(AsciiLower(line.substr(0, colon)), std::string(value));
    return true;
}

bool HttpRequestReader::ChooseFraming() {
    if (request_.minorVersion == 1 && request_.Count("host") != 1) {
        Fail(400, "an HTTP/1.1 request needs one Host header");
        return false;
    }
    std::vector<std::string> codings;
    for (const auto& [n, v] : request_.headers) {
        if (n == "transfer-encoding") {
            for (std::string& c : ListOf(v)) {
                codings.push_back(std::move(c));
            }
        }
    }
    const std::size_t lengths = request_.Count("content-length");
    if (request_.Count("transfer-encoding") > 0) {
        if (lengths > 0 || request_.minorVersion == 0) {
            Fail(400, "Transfer-Encoding with Content-Length, or in HTTP/1.0");
            return false;
        }
        if (codings.size() != 1 || codings[0] != "chunked") {
            Fail(501, "of the transfer codings only chunked is taken");
            return false;
        }
        request_.hasBody = true;
        body_ = Body::ChunkSize;
        return true;
    }
    body_ = Body::Fixed;
    remaining_ = 0;
    if (lengths == 0) {
        return true;  // no body (RFC 7230 3.3.3: a request without either has none)
    }
    const std::string length = *request_.Header("content-length");
    for (const auto& [n, v] : request_.headers) {
        if (n == "content-length" && v != length) {
            Fail(400, "Content-Length given twice, differently");
            return false;
        }
    }
    if (length.empty() || length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos) {
        Fail(400, "Content-Length must be a number of bytes");
        return false;
    }
    remaining_ = std::stoull(length);
    if (remaining_ > limits_.body) {
        Fail(413, "the body is longer than " + std::to_string(limits_.body) + " bytes");
        return false;
    }
    request_.hasBody = true;
    return true;
}

void HttpRequestReader::ReadBody() {
    if (phase_ != Phase::HeadReady) {
        return;
    }
    phase_ = body_ == Body::Fixed && remaining_ == 0 ? Phase::Ready : Phase::Body;
}

bool HttpRequestReader::TakeLine(const char* p, std::size_t n, std::size_t* used, std::size_t most) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', n));
    const std::size_t upto = nl == nullptr ? n : static_cast<std::size_t>(nl - p) + 1;
    const std::size_t room = most + 1 - line_.size();  // line_ holds at most `most` between calls
    line_.append(p, std::min(upto, room));
    *used = upto;
    if (nl == nullptr ? line_.size() > most : upto > room) {
        Fail(400, "a chunk's line is longer than " + std::to_string(most) + " bytes");
        return false;
    }
    if (nl == nullptr) {
        return false;
    }
    line_.pop_back();
    if (!line_.empty() && line_.back() == '\r') {
        line_.pop_back();
    }
    return true;
}

std::size_t HttpRequestReader::TakeBody(const char* p, std::size_t n) {
    std::size_t used = 0;
    switch (body_) {
    case Body::Fixed:
    case Body::ChunkData: {
        used = static_cast<std::size_t>(std::min<unsigned long long>(n, remaining_));
        request_.body.append(p, used);
        remaining_ -= used;
        if (remaining_ == 0) {
            if (body_ == Body::Fixed) {
                phase_ = Phase::Ready;
            } else {
                body_ = Body::ChunkEnd;
            }
        }
        return used;
    }
    case Body::ChunkSize: {
        if (!TakeLine(p, n, &used, kLongestLine)) {
            return used;
        }
        const std::size_t digits = std::min(line_.find_first_not_of("0123456789abcdefABCDEF"), line_.size());
        const std::string_view after = Trimmed(std::string_view(line_).substr(digits));
        if (digits == 0 || (!after.empty() && after.front() != ';')) {
            Fail(400, "a chunk's size must be hexadecimal digits");
            return used;
        }
        if (digits > 8 || request_.body.size() + std::stoull(line_.substr(0, digits), nullptr, 16) > limits_.body) {
            Fail(413, "the body is longer than " + std::to_string(limits_.body) + " bytes");
            return used;
        }
        remaining_ = std::stoull(line_.substr(0, digits), nullptr, 16);
        body_ = remaining_ == 0 ? Body::Trailer : Body::ChunkData;
        line_.clear();
        return used;
    }
    case Body::ChunkEnd:
        if (TakeLine(p, n, &used, kLongestLine)) {
            if (!line_.empty()) {
                Fail(400, "a chunk must end with CRLF");
                return used;
            }
            body_ = Body::ChunkSize;
        }
        return used;
    case Body::Trailer:
        if (TakeLine(p, n, &used, kLongestLine)) {
            trailerBytes_ += line_.size() + 2;
            if (line_.empty()) {
                phase_ = Phase::Ready;
            } else if (trailerBytes_ > limits_.head) {
                Fail(431, "the request's trailer is longer than " + std::to_string(limits_.head) + " bytes");
            }
            line_.clear();
        }
        return used;
    }
    return n;
}

void HttpRequestReader::Next() {
    if (phase_ != Phase::Ready) {
        return;
    }
    *this = HttpRequestReader(limits_);
}

const char* StatusText(int status) {
    switch (status) {
    case 200: return "OK";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 417: return "Expectation Failed";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

std::string ResponseText(const HttpResponse& r, bool keepAlive, bool headOnly) {
    std::string text = "HTTP/1.1 " + std::to_string(r.status) + " " + StatusText(r.status) + "\r\n";
    text += "Content-Type: " + r.contentType + "\r\nContent-Length: " + std::to_string(r.body.size()) +
            "\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    if (!keepAlive) {
        text += "Connection: close\r\n";
    }
    for (const auto& [name, value] : r.headers) {
        text += name + ": " + value + "\r\n";
    }
    text += "\r\n";
    if (!headOnly) {
        text += r.body;
    }
    return text;
}

}  // namespace zolhost
