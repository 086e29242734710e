#include "listener.h"

#include <stdexcept>

#include <boost/asio/ip/v6_only.hpp>

namespace zqlscope::live {

namespace asio = boost::asio;
using boost::system::error_code;

asio::ip::address ListenAddress(const std::string &address) {
    error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    if (ec) {
        throw std::invalid_argument("--listen must be an IPv4 or IPv6 address, not '" + address + "'");
    }
    return ip;
}

void Listen(asio::ip::tcp::acceptor &acceptor, const asio::ip::address &ip, unsigned short port,
            const std::string &address) {
    const asio::ip::tcp::endpoint endpoint(ip, port);
    error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec && ip.is_v6() && ip.to_v6().is_v4_mapped()) { // Windows takes IPv4 on an IPv6 socket only when asked
        acceptor.set_option(asio::ip::v6_only(false), ec);
    }
#ifndef _WIN32
    if (!ec) { // a restart may take the port at once; on Windows it would also take a port in use
        acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    }
#endif
    if (!ec) {
        acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        throw std::runtime_error("cannot listen on " + address + " port " + std::to_string(port) + ": " + ec.message());
    }
}

} // namespace zqlscope::live
