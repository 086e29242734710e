// The HTTP and WebSocket server of zqlscope live, on Boost.Beast over Asio.
// One thread runs all connections. GET / serves the embedded page (and
// /page.css and /page.js with the script's modules), GET /ws upgrades to the
// WebSocket that carries frames and status to the page and its commands
// back; anything else gets an HTTP error. Only known host names are served,
// and the page and the WebSocket need this start's key (access.h). Every connection's
// memory is bounded: requests by header and body limits, the page's
// messages by a size limit, and what waits to be sent by a short queue that
// drops the oldest message when a page falls behind. This file holds the
// listener, the start's key and URL, and the broadcast to every open page;
// a connection's HTTP exchange is in http_session.cpp, the page's WebSocket
// in page_session.cpp and the page's files in asset_serving.cpp.
#include <csignal>

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "http_session.h"
#include "listener.h"
#include "page_session.h"

namespace zqlscope::live {

namespace {

constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

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
                StartHttpSession(std::move(socket), shared);
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
            SendToPage(*page, message);
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
