#include "host/control/control_http.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "host/control/control_api.h"
#include "host/control/control_page.h"

namespace zolhost {

namespace {

using namespace std::chrono_literals;

// How long a request waits for its device's thread; a body's largest size.
constexpr auto kAnswerWithin = 2000ms;
constexpr std::size_t kLargestBody = 4096;

bool IsLoopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string MadeToken() {
    std::random_device rd;
    std::string t;
    char b[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(b, sizeof b, "%08x", static_cast<unsigned>(rd()));
        t += b;
    }
    return t;
}

// The token a request gives: "Authorization: Bearer T", or ?token=T (the page's).
std::string TokenOf(const httplib::Request& req) {
    const std::string auth = req.get_header_value("Authorization");
    const std::string bearer = "Bearer ";
    if (auth.rfind(bearer, 0) == 0) {
        return auth.substr(bearer.size());
    }
    return req.has_param("token") ? req.get_param_value("token") : std::string();
}

}  // namespace

struct ControlServer::Impl {
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> listened{false};  // its thread is done listening
    std::vector<SteerMailbox*> byDevice;
};

ControlServer::ControlServer(std::vector<SteerMailbox*> byDevice) : impl_(std::make_unique<Impl>()) {
    impl_->byDevice = std::move(byDevice);
}

ControlServer::~ControlServer() {
    Stop();
}

bool ControlServer::Start(const std::string& listen, const std::string& token, std::string* error) {
    const std::size_t colon = listen.rfind(':');
    std::string host = colon == std::string::npos ? std::string() : listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const std::string port = colon == std::string::npos ? std::string() : listen.substr(colon + 1);
    if (host.empty() || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        *error = "--control wants HOST:PORT (port 0: a free one), not \"" + listen + "\"";
        return false;
    }
    token_ = !token.empty() || IsLoopback(host) ? token : MadeToken();
    httplib::Server& s = impl_->server;
    s.set_payload_max_length(kLargestBody);
    s.set_read_timeout(5, 0);
    s.set_write_timeout(5, 0);
    s.set_keep_alive_max_count(100);
    ControlContext context;
    context.devices = impl_->byDevice.size();
    context.token = token_;
    std::vector<SteerMailbox*> byDevice = impl_->byDevice;
    context.ask = [byDevice](const SteerCommand& c) { return byDevice.at(c.device)->Ask(c, kAnswerWithin); };
    auto api = [context](const httplib::Request& req, httplib::Response& res) {
        ControlAnswer a;
        try {
            a = AnswerControl({req.method, req.path, req.body, TokenOf(req)}, context);
        } catch (const std::exception& e) {
            a = {500, "{\"error\":\"the request could not be answered\"}"};
        }
        res.status = a.status;
        res.set_content(a.body, "application/json");
    };
    s.Get("/api/.*", api);
    s.Post("/api/.*", api);
    s.Put("/api/.*", api);
    s.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_content(kControlPage, "text/html"); });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) {
            res.set_content("{\"error\":\"" + std::to_string(res.status) + "\"}", "application/json");
        }
    });
    const int bound = port == "0" ? s.bind_to_any_port(host) : (s.bind_to_port(host, std::stoi(port)) ? std::stoi(port) : -1);
    if (bound <= 0) {
        *error = "the control API cannot listen at " + listen;
        return false;
    }
    url_ = "http://" + (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(bound) + "/";
    impl_->thread = std::thread([this] {
        impl_->server.listen_after_bind();
        impl_->listened = true;
    });
    return true;
}

void ControlServer::Stop() {
    if (impl_->thread.joinable()) {
        // A stop before the server is running is lost (its thread would wait in
        // accept for good): a stop just after Start waits for it to run first.
        while (!impl_->server.is_running() && !impl_->listened) {
            std::this_thread::sleep_for(1ms);
        }
        impl_->server.stop();
        impl_->thread.join();
    }
}

}  // namespace zolhost
