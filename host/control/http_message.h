// HTTP/1.x messages with no I/O of their own. A request is read from the bytes a
// client sends, a piece at a time, with every size bounded: the head (request line
// and headers), the number of headers, and the body however it is sent
// (Content-Length or chunked). The reader stops after the head so that whoever
// serves can refuse a request before its body is taken, and a refusal of its own
// says its status and why. A response is written whole, to go in one write.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zolhost {

struct HttpRequest {
    std::string method;  // as sent: "GET", "POST", ...
    std::string target;  // as sent: the path and its query
    std::string path;    // the target up to '?'
    std::string query;   // after '?'; empty when none
    int minorVersion = 1;  // HTTP/1.0 or HTTP/1.1
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case, values trimmed
    std::string body;    // decoded (chunks joined)
    bool hasBody = false;  // a length or chunks were given (even an empty one)

    // The first value of a header; nullptr when absent. `name` in lower case.
    const std::string* Header(std::string_view name) const;
    // How many times a header is given.
    std::size_t Count(std::string_view name) const;
    // The connection stays open after the answer (HTTP/1.1 unless "close";
    // HTTP/1.0 only with "keep-alive").
    bool KeepAlive() const;
};

struct HttpLimits {
    std::size_t head = 8192;   // request line and headers together
    std::size_t headers = 64;  // header lines
    std::size_t body = 4096;   // the decoded body
};

class HttpRequestReader {
public:
    enum class Phase {
        Head,       // reading the request line and headers
        HeadReady,  // the head is read: Request() has all but the body; ReadBody() goes on
        Body,       // reading the body
        Ready,      // the whole request is read; Next() starts the next one
        Failed,     // refused: FailStatus() and FailReason(); nothing more is read
    };

    explicit HttpRequestReader(HttpLimits limits = {}) : limits_(limits) {}

    // Takes bytes from p[0..n) and returns how many it took: fewer than n when it
    // stops at HeadReady, Ready or Failed (the rest is the caller's to give again).
    std::size_t Take(const char* p, std::size_t n);
    Phase State() const { return phase_; }
    const HttpRequest& Request() const { return request_; }
    int FailStatus() const { return failStatus_; }
    const std::string& FailReason() const { return failReason_; }
    // True once any byte of the current request has been taken.
    bool Started() const { return started_; }

    // After HeadReady: reads the body (straight to Ready when there is none).
    void ReadBody();
    // After Ready: ready for the next request on the same connection.
    void Next();

private:
    enum class Body { Fixed, ChunkSize, ChunkData, ChunkEnd, Trailer };

    std::size_t TakeHead(const char* p, std::size_t n);
    std::size_t TakeBody(const char* p, std::size_t n);
    bool ReadHead();                      // parses head_; false when failed
    bool ReadRequestLine(std::string_view line);
    bool ReadHeaderLine(std::string_view line);
    bool ChooseFraming();                 // the body's length or chunks, from the headers
    bool TakeLine(const char* p, std::size_t n, std::size_t* used, std::size_t most);  // into line_
    void Fail(int status, std::string reason);

    HttpLimits limits_;
    Phase phase_ = Phase::Head;
    HttpRequest request_;
    std::string head_;
    std::size_t headScanned_ = 0;  // head_ before this holds no end of head
    bool started_ = false;
    Body body_ = Body::Fixed;
    std::size_t remaining_ = 0;  // of the fixed body, or of the chunk
    std::string line_;           // a chunk-size or trailer line being read
    std::size_t trailerBytes_ = 0;
    int failStatus_ = 0;
    std::string failReason_;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // beside the ones every response has
};

// The response's bytes: status line, Content-Type, Content-Length, no caching,
// no sniffing, "Connection: close" unless `keepAlive`, its own headers, and the
// body unless `headOnly` (an answer to HEAD).
std::string ResponseText(const HttpResponse& r, bool keepAlive, bool headOnly = false);

// The reason phrase of a status ("Not Found").
const char* StatusText(int status);

}  // namespace zolhost
