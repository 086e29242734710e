#include "scpi/server.h"

#include <array>
#include <chrono>
#include <csignal>
#include <iostream>
#include <set>
#include <stdexcept>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include "live/access.h"
#include "live/listener.h"

#ifdef __linux__
#include <netinet/in.h>
#include <netinet/tcp.h>
#endif

namespace zqlscope::scpi {

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// Bytes taken from the socket at once.
constexpr std::size_t kReadChunk = 4096;
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);
constexpr const char *kBusy = "ERROR: refused: another client is connected to this instrument (one client at a time)\n";
constexpr const char *kNotAllowed = "ERROR: refused: this address may not use the instrument (see --allow)\n";

// A client that writes a command and then the next (":SINGle", then
// ":WAV:DATA?") without TCP_NODELAY holds the second back until the first is
// acknowledged; a command with no reply gives no answer to carry the
// acknowledgement, so it would wait for the delayed one, 40 ms on Linux.
// Acknowledging at once after each read spares such clients the wait.
void AcknowledgeAtOnce(tcp::socket &socket) {
#ifdef __linux__
    error_code ignored;
    socket.set_option(asio::detail::socket_option::boolean<IPPROTO_TCP, TCP_QUICKACK>(true), ignored);
#else
    (void)socket;
#endif
}

std::string Peer(const tcp::socket &socket) {
    error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    return ec ? std::string("a client")
              : live::Unmapped(remote.address()).to_string() + ":" + std::to_string(remote.port());
}

struct Shared {
    LineHandler handler;
    bool busy = false; // a session is open
    std::set<asio::ip::address> allowed;
    // Last, so that the sessions its handlers still hold go before the rest.
    asio::io_context ioc{1};
};

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, Shared &shared) : socket_(std::move(socket)), shared_(shared), peer_(Peer(socket_)) {
        shared_.busy = true;
    }
    ~Session() {
        shared_.busy = false;
        std::cerr << "zqlscope scpi: " << peer_ << " disconnected\n";
    }
    void Start() {
        error_code ignored; // replies go out whole at once: no waiting for the client's acknowledgement
        socket_.set_option(tcp::no_delay(true), ignored);
        std::cerr << "zqlscope scpi: " << peer_ << " connected\n";
        Read();
    }

  private:
    void Read() {
        socket_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](error_code ec, std::size_t n) {
            if (ec) {
                return; // closed or reset: the session ends with its last reference
            }
            AcknowledgeAtOnce(self->socket_);
            self->pending_.assign(self->chunk_.data(), n);
            self->Process();
        });
    }

    // Runs the complete lines of what was read, one reply at a time.
    void Process() {
        while (!pending_.empty()) {
            const std::size_t feed = pending_.find('\n');
            const std::size_t take = feed == std::string::npos ? pending_.size() : feed;
            if (!overlong_) {
                line_.append(pending_, 0, take);
                if (line_.size() > kMaxLineBytes) {
                    overlong_ = true;
                    line_.clear();
                    line_.shrink_to_fit();
                }
            }
            pending_.erase(0, feed == std::string::npos ? take : take + 1);
            if (feed == std::string::npos) {
                break;
            }
            if (overlong_) {
                overlong_ = false;
                shared_.handler.overlong(kMaxLineBytes);
                continue;
            }
            reply_ = shared_.handler.execute(line_);
            line_.clear();
            if (!reply_.empty()) {
                asio::async_write(socket_, asio::buffer(reply_),
                                  [self = shared_from_this()](error_code ec, std::size_t) {
                                      if (!ec) {
                                          self->reply_.clear();
                                          self->Process();
                                      }
                                  });
                return;
            }
        }
        Read();
    }

    tcp::socket socket_;
    Shared &shared_;
    std::string peer_;
    std::array<char, kReadChunk> chunk_;
    std::string pending_; // read, not yet taken into a line
    std::string line_;    // the line being collected
    std::string reply_;   // being sent
    bool overlong_ = false;
};

// Tells a client it is refused, then closes.
void Refuse(std::shared_ptr<tcp::socket> socket, const char *why) {
    asio::async_write(*socket, asio::buffer(why, std::char_traits<char>::length(why)),
                      [socket](error_code, std::size_t) {
                          error_code ignored;
                          socket->shutdown(tcp::socket::shutdown_both, ignored);
                          socket->close(ignored);
                      });
}

} // namespace

struct Server::Impl {
    Shared shared;
    tcp::acceptor acceptor{shared.ioc};
    asio::steady_timer retry{shared.ioc};
    asio::signal_set signals{shared.ioc, SIGINT, SIGTERM};
    std::string resource;

    bool Allowed(const tcp::socket &socket) const {
        error_code ec;
        const auto remote = socket.remote_endpoint(ec);
        return !ec && (live::IsLoopback(remote.address()) || shared.allowed.count(live::Unmapped(remote.address())));
    }

    void Accept() {
        acceptor.async_accept(shared.ioc, [this](error_code ec, tcp::socket socket) {
            if (!ec) {
                if (!Allowed(socket)) {
                    std::cerr << "zqlscope scpi: " << Peer(socket) << " refused: not an allowed client\n";
                    Refuse(std::make_shared<tcp::socket>(std::move(socket)), kNotAllowed);
                } else if (shared.busy) {
                    std::cerr << "zqlscope scpi: " << Peer(socket) << " refused: another client is connected\n";
                    Refuse(std::make_shared<tcp::socket>(std::move(socket)), kBusy);
                } else {
                    std::make_shared<Session>(std::move(socket), shared)->Start();
                }
                Accept();
            } else if (ec != asio::error::operation_aborted) { // out of descriptors, say: wait a little
                retry.expires_after(kAcceptRetryDelay);
                retry.async_wait([this](error_code) { Accept(); });
            }
        });
    }

    void Allow(const std::vector<std::string> &names) {
        tcp::resolver resolver(shared.ioc);
        for (const std::string &name : names) {
            error_code ec;
            const auto literal = asio::ip::make_address(name, ec);
            if (!ec) {
                shared.allowed.insert(live::Unmapped(literal));
                continue;
            }
            std::string checked;
            try {
                checked = live::CheckedHostName(name);
            } catch (const std::invalid_argument &) {
                throw std::invalid_argument("--allow takes addresses and host names (letters, digits, '-' and '.'), "
                                            "not '" +
                                            name + "'");
            }
            const auto results = resolver.resolve(checked, "", ec);
            if (ec) {
                throw std::invalid_argument("--allow " + name + ": the name does not resolve: " + ec.message());
            }
            for (const auto &entry : results) {
                shared.allowed.insert(live::Unmapped(entry.endpoint().address()));
            }
        }
    }
};

Server::Server(LineHandler handler) : impl_(std::make_unique<Impl>()) {
    impl_->shared.handler = std::move(handler);
}
Server::~Server() = default;

void Server::Start(const ServerSettings &settings) {
    const auto ip = live::ListenAddress(settings.address);
    if (!live::IsLoopback(ip) && settings.allow.empty()) {
        throw std::invalid_argument("--listen " + settings.address +
                                    " serves other machines: name them with --allow NAME (SCPI has no password)");
    }
    impl_->Allow(settings.allow);
    live::Listen(impl_->acceptor, ip, settings.port, settings.address);
    const auto shown = live::Unmapped(ip);
    const std::string host = shown.is_unspecified() ? (shown.is_v4() ? "127.0.0.1" : "::1") : shown.to_string();
    impl_->resource = "TCPIP::" + host + "::" + std::to_string(Port()) + "::SOCKET";
    impl_->Accept();
}

std::string Server::Resource() const {
    return impl_->resource;
}

unsigned short Server::Port() const {
    error_code ec;
    return impl_->acceptor.local_endpoint(ec).port();
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

} // namespace zqlscope::scpi
