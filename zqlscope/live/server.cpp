// The HTTP and WebSocket server of zqlscope live, on Boost.Beast over Asio.
// One thread runs all connections. GET / serves the embedded page (and
// /page.css, /page.js its style and script), GET /ws upgrades to the
// WebSocket that carries frames and status to the page and its commands
// back; anything else gets an HTTP error. Only known host names are served,
// and the page and the WebSocket need this start's key (access.h). Every connection's
// memory is bounded: requests by header and body limits, the page's
// messages by a size limit, and what waits to be sent by a short queue that
// drops the oldest message when a page falls behind. This is the program's
// only translation unit that includes Beast: it compiles slowly.
#include <array>
#include <chrono>
#include <csignal>
#include <deque>
#include <optional>
#include <set>
#include <stdexcept>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "access.h"
#include "listener.h"
#include "live.h"

namespace zqlscope::live {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using beast::error_code;

// A browser's request head is under 2 KB; four times that is ample.
constexpr std::uint32_t kMaxHeaderBytes = 8192;
// The page sends no request bodies; a small one is read and ignored.
constexpr std::uint64_t kMaxBodyBytes = 1024;
// The page's commands are a word or a short line ("stop", "frame 1000").
constexpr std::size_t kMaxPageMessageBytes = 256;
// Messages waiting for one page: a few frames' worth; older ones are dropped.
constexpr std::size_t kMaxQueuedMessages = 4;
// Connections at once, pages and plain requests together; more get 503.
constexpr int kMaxConnections = 32;
// A request head must arrive, and a response leave, within this time.
constexpr auto kRequestTimeout = std::chrono::seconds(10);
// A page that answers no ping for this long is closed (a browser answers
// pings by itself; a client that stops reading does not).
constexpr auto kPageIdleTimeout = std::chrono::seconds(20);
// After an answer that closes the connection, what the client still sends
// is read and dropped for a while, so that the close does not reset the
// connection before the client has read the answer.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kMaxLingerBytes = 1 << 20;
// A lingering connection has had its answer and holds no connection slot;
// beyond this many at once the next is closed without lingering.
constexpr int kMaxLingering = 64;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
constexpr const char *kServerName = "zqlscope-live";
// The page's own files, script, style and WebSocket, and nothing else; no
// other page may show it in a frame.
constexpr const char *kPolicy = "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self' ";
constexpr const char *kPolicyEnd = "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
constexpr const char *kTokenKey = "token";

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

std::string_view View(beast::string_view text) {
    return {text.data(), text.size()};
}

using Request = http::request<http::string_body>;

// A WebSocket from a page of another site is refused: the page controls the
// instrument.
bool OriginAllowed(const Request &req) {
    const std::string_view origin = View(req[http::field::origin]);
    return origin.empty() || origin == "http://" + std::string(View(req[http::field::host]));
}

// The key comes in the query (the printed URL, or a client of its own) or in
// the cookie the page was given with it.
bool TokenGiven(const Shared &shared, const Request &req, bool &inQuery) {
    inQuery = SameToken(QueryValue(View(req.target()), kTokenKey), shared.token);
    return inQuery || SameToken(CookieValue(View(req[http::field::cookie]), shared.cookieName), shared.token);
}

std::string_view PathOf(const Request &req) {
    const std::string_view target = View(req.target());
    return target.substr(0, target.find('?'));
}

const Asset *FindAsset(std::string_view path) {
    if (path == "/" || path == "/index.html") {
        path = "/page.html";
    }
    for (std::size_t i = 0; i < kAssetCount; ++i) {
        if (path == kAssets[i].path) {
            return &kAssets[i];
        }
    }
    return nullptr;
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

http::status StatusForReadError(const error_code &ec) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        return http::status::request_header_fields_too_large;
    }
    if (ec == http::error::body_limit) {
        return http::status::payload_too_large;
    }
    return http::status::bad_request;
}

// Why a request was refused, after the status line.
constexpr const char *kUnknownHost = "This server answers only to its own address and the names given with "
                                     "--allow-host.\n";
constexpr const char *kForeignPage = "Only the scope page of this server may open its WebSocket.\n";
constexpr const char *kNoToken = "Open the address zqlscope live printed when it started: it carries the key "
                                 "to this server.\n";

std::string ErrorText(http::status status) {
    return std::to_string(static_cast<unsigned>(status)) + " " + std::string(http::obsolete_reason(status)) + "\n";
}

class PageSession : public std::enable_shared_from_this<PageSession> {
  public:
    PageSession(tcp::socket socket, Shared &shared) : ws_(std::move(socket)), shared_(shared), count_(shared) {}
    ~PageSession() { shared_.pages.erase(this); }

    void Accept(const Request &req) {
        websocket::stream_base::timeout timeout{kRequestTimeout, kPageIdleTimeout, true};
        ws_.set_option(timeout);
        ws_.read_message_max(kMaxPageMessageBytes);
        // Each frame goes out as it comes: small messages are not held back
        // for the acknowledgement of the previous one.
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
        ws_.set_option(websocket::stream_base::decorator(
            [host = std::string(View(req[http::field::host]))](websocket::response_type &res) {
                res.set(http::field::server, kServerName);
                SetSecurityHeaders(res, host, true);
            }));
        ws_.async_accept(req, [self = shared_from_this()](error_code ec) { self->OnAccept(ec); });
    }

    // Queues a message; when the page is behind, the oldest waiting one goes.
    void Send(const MessagePtr &message) {
        if (queue_.size() >= kMaxQueuedMessages) {
            queue_.pop_front();
        }
        queue_.push_back(message);
        if (!inFlight_) {
            WriteNext();
        }
    }

  private:
    void OnAccept(const error_code &ec) {
        if (ec) {
            return;
        }
        shared_.pages.insert(this);
        for (const MessagePtr &last : {shared_.lastStatus, shared_.lastMeasure}) {
            if (last) {
                Send(last);
            }
        }
        Read();
    }

    void Read() {
        ws_.async_read(buffer_, [self = shared_from_this()](error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(const error_code &ec) {
        if (ec) { // closed, timed out or a message over the limit: forget the page
            shared_.pages.erase(this);
            return;
        }
        const std::string command = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        ApplyPageCommand(shared_.controls, command); // an unknown command changes nothing
        Read();
    }

    void WriteNext() {
        inFlight_ = queue_.front();
        queue_.pop_front();
        ws_.binary(inFlight_->binary);
        ws_.async_write(asio::buffer(inFlight_->bytes),
                        [self = shared_from_this()](error_code ec, std::size_t) { self->OnWrite(ec); });
    }

    void OnWrite(const error_code &ec) {
        inFlight_.reset();
        if (ec) {
            shared_.pages.erase(this);
            queue_.clear();
            return;
        }
        if (!queue_.empty()) {
            WriteNext();
        }
    }

    websocket::stream<beast::tcp_stream> ws_;
    Shared &shared_;
    ConnectionCount count_;
    beast::flat_buffer buffer_;
    std::deque<MessagePtr> queue_;
    MessagePtr inFlight_; // held until its write completes
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(tcp::socket socket, Shared &shared) : stream_(std::move(socket)), shared_(shared), count_(shared) {}
    ~HttpSession() { shared_.lingering -= lingering_ ? 1 : 0; }
    HttpSession(const HttpSession &) = delete;
    HttpSession &operator=(const HttpSession &) = delete;

    void Start() {
        if (count_.OverLimit()) {
            Respond(http::status::service_unavailable, 11, true);
            return;
        }
        Read();
    }

  private:
    void Read() {
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxBodyBytes);
        stream_.expires_after(kRequestTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(const error_code &ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
            ec == asio::error::connection_reset) {
            return; // gone, or silent for too long: the socket closes with this session
        }
        if (ec) {
            Respond(StatusForReadError(ec), 11, true);
            return;
        }
        Route(parser_->release());
    }

    bool HostServed(const Request &req) {
        error_code ec;
        const auto local = beast::get_lowest_layer(stream_).socket().local_endpoint(ec);
        return !ec && HostAllowed(shared_.hosts, View(req[http::field::host]), local.address());
    }

    void Route(const Request &req) {
        const bool get = req.method() == http::verb::get || req.method() == http::verb::head;
        bool inQuery = false;
        host_ = std::string(View(req[http::field::host]));
        hostChecked_ = HostServed(req);
        if (!hostChecked_) {
            Respond(http::status::forbidden, req.version(), true, kUnknownHost);
        } else if (PathOf(req) == "/ws") {
            if (!websocket::is_upgrade(req) || req.method() != http::verb::get) {
                Respond(http::status::upgrade_required, req.version(), true);
            } else if (!OriginAllowed(req)) {
                Respond(http::status::forbidden, req.version(), true, kForeignPage);
            } else if (!TokenGiven(shared_, req, inQuery)) {
                Respond(http::status::forbidden, req.version(), true, kNoToken);
            } else {
                beast::get_lowest_layer(stream_).expires_never();
                std::make_shared<PageSession>(stream_.release_socket(), shared_)->Accept(req);
            }
        } else {
            // Only a client with the key keeps its connection: any other gets
            // its answer and is closed, so that keyless clients cannot hold
            // the connection slots the owner's page needs.
            const bool keyed = TokenGiven(shared_, req, inQuery);
            const bool close = !keyed || !req.keep_alive();
            if (const Asset *asset = FindAsset(PathOf(req)); !asset) {
                Respond(http::status::not_found, req.version(), close);
            } else if (!get) {
                Respond(http::status::method_not_allowed, req.version(), close);
            } else if (!keyed) {
                Respond(http::status::forbidden, req.version(), close, kNoToken);
            } else {
                ServeAsset(req, *asset, inQuery);
            }
        }
    }

    // Given the key in the query, the page gets it as a cookie for its own
    // files, its WebSocket and its reloads.
    void ServeAsset(const Request &req, const Asset &asset, bool giveCookie) {
        auto res = std::make_shared<http::response<http::string_body>>(http::status::ok, req.version());
        res->set(http::field::content_type, asset.contentType);
        if (giveCookie) {
            res->set(http::field::set_cookie,
                     shared_.cookieName + "=" + shared_.token + "; Path=/; HttpOnly; SameSite=Strict");
        }
        res->body().assign(asset.bytes, asset.size);
        res->prepare_payload();
        if (req.method() == http::verb::head) {
            res->body().clear(); // the length stays that of the file
        }
        Write(res, !req.keep_alive());
    }

    void Respond(http::status status, unsigned version, bool close, const char *why = "") {
        auto res = std::make_shared<http::response<http::string_body>>(status, version);
        res->set(http::field::content_type, "text/plain; charset=utf-8");
        if (status == http::status::method_not_allowed) {
            res->set(http::field::allow, "GET, HEAD");
        }
        res->body() = ErrorText(status) + why;
        res->prepare_payload();
        Write(res, close);
    }

    void Write(const std::shared_ptr<http::response<http::string_body>> &res, bool close) {
        res->set(http::field::server, kServerName);
        res->set(http::field::cache_control, "no-store");
        SetSecurityHeaders(*res, host_, hostChecked_);
        res->keep_alive(!close);
        stream_.expires_after(kRequestTimeout);
        http::async_write(stream_, *res, [self = shared_from_this(), res, close](error_code ec, std::size_t) {
            if (!ec && !close) {
                self->Read();
            } else if (!ec) {
                self->Linger();
            }
        });
    }

    // The answer is out: the slot is given back at once, so clients that keep
    // their end open cannot hold the slots the page needs.
    void Linger() {
        count_.Release();
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        if (shared_.lingering >= kMaxLingering) {
            return; // closed with the session, now
        }
        lingering_ = true;
        ++shared_.lingering;
        stream_.expires_after(kLingerTime);
        Discard();
    }

    void Discard() {
        stream_.async_read_some(asio::buffer(discard_), [self = shared_from_this()](error_code ec, std::size_t n) {
            self->lingered_ += n;
            if (!ec && self->lingered_ < kMaxLingerBytes) {
                self->Discard();
            }
        });
    }

    beast::tcp_stream stream_;
    Shared &shared_;
    ConnectionCount count_;
    beast::flat_buffer buffer_{kMaxHeaderBytes + kMaxBodyBytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::array<char, 4096> discard_;
    std::size_t lingered_ = 0;
    bool lingering_ = false;
    std::string host_; // of the request being answered
    bool hostChecked_ = false;
};

} // namespace

struct Server::Impl {
    Shared shared;
    tcp::acceptor acceptor{shared.ioc};
    asio::steady_timer retry{shared.ioc};
    asio::signal_set signals{shared.ioc, SIGINT, SIGTERM};
    std::string url;
    explicit Impl(Controls &controls) : shared(controls) {}

    void Accept() {
        acceptor.async_accept(shared.ioc, [this](error_code ec, tcp::socket socket) {
            if (!ec) {
                std::make_shared<HttpSession>(std::move(socket), shared)->Start();
                Accept();
            } else if (ec != asio::error::operation_aborted) { // out of descriptors, say: wait a little
                retry.expires_after(kAcceptRetryDelay);
                retry.async_wait([this](error_code) { Accept(); });
            }
        });
    }
};

Server::Server(Controls &controls) : impl_(std::make_unique<Impl>(controls)) {}
Server::~Server() = default;

void Server::Start(const ServerSettings &settings) {
    const std::string &address = settings.address;
    const unsigned short port = settings.port;
    const auto ip = ListenAddress(address);
    auto &acceptor = impl_->acceptor;
    Listen(acceptor, ip, port, address);
    Shared &shared = impl_->shared;
    shared.hosts.loopbackListener = IsLoopback(ip);
    for (const std::string &name : settings.allowHosts) {
        shared.hosts.allowed.push_back(CheckedHostName(name));
    }
    const auto bound = acceptor.local_endpoint();
    shared.token = NewToken();
    shared.cookieName = "zqlscope-live-" + std::to_string(bound.port());
    const auto shown = Unmapped(ip);
    std::string host = shown.is_unspecified() ? (shown.is_v4() ? "127.0.0.1" : "::1") : shown.to_string();
    if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    impl_->url = "http://" + host + ":" + std::to_string(bound.port()) + "/?" + kTokenKey + "=" + shared.token;
    impl_->Accept();
}

std::string Server::Url() const {
    return impl_->url;
}

void Server::Broadcast(MessagePtr message) {
    asio::post(impl_->shared.ioc, [this, message = std::move(message)] {
        Shared &shared = impl_->shared;
        if (message->topic == "status") {
            shared.lastStatus = message;
        } else if (message->topic == "measure") {
            shared.lastMeasure = message;
        }
        for (PageSession *page : shared.pages) {
            page->Send(message);
        }
    });
}

void Server::Run() {
    impl_->signals.async_wait([this](error_code ec, int) {
        if (!ec) {
            impl_->shared.ioc.stop();
        }
    });
    impl_->shared.ioc.run();
}

void Server::Stop() {
    asio::post(impl_->shared.ioc, [this] { impl_->shared.ioc.stop(); });
}

} // namespace zqlscope::live
