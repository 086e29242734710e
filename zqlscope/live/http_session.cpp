// One connection's HTTP exchange: the request read within its limits, the
// checks (known host, the page's own origin, this start's key), the page's
// files or the upgrade to its WebSocket, error answers, and the linger after
// an answer that closes the connection.
#include <array>
#include <optional>

#include <boost/beast/websocket/rfc6455.hpp>

#include "asset_serving.h"
#include "http_session.h"
#include "page_session.h"

namespace zqlscope::live {

namespace {

// A browser's request head is under 2 KB; four times that is ample.
constexpr std::uint32_t kMaxHeaderBytes = 8192;
// The page sends no request bodies; a small one is read and ignored.
constexpr std::uint64_t kMaxBodyBytes = 1024;
// After an answer that closes the connection, what the client still sends
// is read and dropped for a while, so that the close does not reset the
// connection before the client has read the answer.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kMaxLingerBytes = 1 << 20;
// A lingering connection has had its answer and holds no connection slot;
// beyond this many at once the next is closed without lingering.
constexpr int kMaxLingering = 64;

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
            if (!beast::websocket::is_upgrade(req) || req.method() != http::verb::get) {
                Respond(http::status::upgrade_required, req.version(), true);
            } else if (!OriginAllowed(req)) {
                Respond(http::status::forbidden, req.version(), true, kForeignPage);
            } else if (!TokenGiven(shared_, req, inQuery)) {
                Respond(http::status::forbidden, req.version(), true, kNoToken);
            } else {
                beast::get_lowest_layer(stream_).expires_never();
                OpenPage(stream_.release_socket(), shared_, req);
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
                // Given the key in the query, the page gets it as a cookie
                // for its own files, its WebSocket and its reloads.
                const std::string cookie =
                    inQuery ? shared_.cookieName + "=" + shared_.token + "; Path=/; HttpOnly; SameSite=Strict" : "";
                Write(AssetResponse(req, *asset, cookie), !req.keep_alive());
            }
        }
    }

    void Respond(http::status status, unsigned version, bool close, const char *why = "") {
        auto res = std::make_shared<Response>(status, version);
        res->set(http::field::content_type, "text/plain; charset=utf-8");
        if (status == http::status::method_not_allowed) {
            res->set(http::field::allow, "GET, HEAD");
        }
        res->body() = ErrorText(status) + why;
        res->prepare_payload();
        Write(res, close);
    }

    void Write(const std::shared_ptr<Response> &res, bool close) {
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

void StartHttpSession(tcp::socket socket, Shared &shared) {
    std::make_shared<HttpSession>(std::move(socket), shared)->Start();
}

} // namespace zqlscope::live
