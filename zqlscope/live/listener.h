// The listening socket of zqlscope's servers (the live screen and SCPI):
// the address given with --listen parsed, IPv4 taken on a mapped IPv6
// address, the port taken again at once after a restart.
#pragma once

#include <string>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace zqlscope::live {

// The address of --listen; std::invalid_argument when it is not one.
boost::asio::ip::address ListenAddress(const std::string &address);
// Opens, binds and listens `acceptor` on ip:port; std::runtime_error, naming
// `address` and the port, when the port cannot be had.
void Listen(boost::asio::ip::tcp::acceptor &acceptor, const boost::asio::ip::address &ip, unsigned short port,
            const std::string &address);

} // namespace zqlscope::live
