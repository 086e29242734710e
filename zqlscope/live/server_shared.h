// What the live server's connections share: the Beast and Asio names they
// use, the limits every connection keeps to, the state on the server's
// thread (open pages, the last status, the key and the host rules), the
// connection count, and the security headers sent with every answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "access.h"
#include "live.h"

namespace zqlscope::live {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using beast::error_code;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

// Connections at once, pages and plain requests together; more get 503.
constexpr int kMaxConnections = 32;
// A request head must arrive, and a response leave, within this time.
constexpr auto kRequestTimeout = std::chrono::seconds(10);
constexpr const char *kServerName = "zqlscope-live";
constexpr const char *kTokenKey = "token";
// The page's own files, script, style and WebSocket, and nothing else; no
// other page may show it in a frame.
constexpr const char *kPolicy = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self' ";
constexpr const char *kPolicyEnd = "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

class PageSession;

// What all connections share; touched only on the server's thread.
struct Shared {
    Controls &controls;
    std::set<PageSession *> pages;
    int connections = 0;
    int lingering = 0;
    MessagePtr lastStatus, lastMeasure; // for a page that connects
    HostRules hosts;
    std::string token;
    std::string cookieName; // one per port, so that two servers on one host keep their keys apart
    // Last, so that the sessions its handlers still hold go before the rest.
    asio::io_context ioc{1};
    explicit Shared(Controls &c) : controls(c) {}
};

// Counts a connection for as long as the object lives.
class ConnectionCount {
  public:
    explicit ConnectionCount(Shared &shared) : shared_(shared) { ++shared_.connections; }
    ~ConnectionCount() { Release(); }
    ConnectionCount(const ConnectionCount &) = delete;
    ConnectionCount &operator=(const ConnectionCount &) = delete;
    bool OverLimit() const { return shared_.connections > kMaxConnections; }
    // The connection's slot is free again (it is answered and closing).
    void Release() {
        if (counted_) {
            counted_ = false;
            --shared_.connections;
        }
    }

  private:
    Shared &shared_;
    bool counted_ = true;
};

inline std::string_view View(beast::string_view text) {
    return {text.data(), text.size()};
}

// Sent with every answer, the WebSocket's upgrade included. The Host is one
// the server answers to, or the request was refused before it reached here.
template <class Fields> void SetSecurityHeaders(Fields &fields, std::string_view host, bool hostChecked) {
    fields.set("X-Frame-Options", "DENY");
    fields.set("X-Content-Type-Options", "nosniff");
    fields.set("Content-Security-Policy",
               std::string(kPolicy) + (hostChecked ? "ws://" + std::string(host) : "") + kPolicyEnd);
    fields.set("Referrer-Policy", "no-referrer");
}

} // namespace zqlscope::live
