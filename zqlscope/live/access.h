// Who may use the live server. A web page of another site must not reach the
// instrument, not even through a name of its own that resolves to this
// machine (DNS rebinding): the server answers only to host names it knows,
// and the page and its WebSocket need the key made at each start, which the
// printed URL carries and the page keeps in a cookie of this server.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace zqlscope::live {

struct HostRules {
    // The listener is a loopback address (a mapped IPv4 one counts).
    bool loopbackListener = true;
    // Names given with --allow-host, in lower case.
    std::vector<std::string> allowed;
};

// 127.0.0.0/8, ::1, and ::ffff:127.x.y.z.
bool IsLoopback(const boost::asio::ip::address &ip);
// A mapped IPv4 address as IPv4; any other unchanged.
boost::asio::ip::address Unmapped(const boost::asio::ip::address &ip);

// Whether a request with this Host header, arriving on a connection to the
// local address `arrivedAt`, is served: the literal names localhost,
// 127.0.0.1 and [::1] on a loopback listener or connection, the address the
// connection arrived at written as a literal, and the allowed names; each
// with or without a port.
bool HostAllowed(const HostRules &rules, std::string_view host, const boost::asio::ip::address &arrivedAt);

// A --allow-host name in lower case; throws std::invalid_argument with a
// sentence when it is not a plain DNS name.
std::string CheckedHostName(const std::string &name);

// 128 random bits as 32 hexadecimal digits.
std::string NewToken();
// Compares in a time that does not depend on where the two differ.
bool SameToken(std::string_view given, std::string_view token);
// The value of `key` in the query of a request target ("/?token=..."), or "".
std::string QueryValue(std::string_view target, std::string_view key);
// The value of the cookie `name` in a Cookie header, or "".
std::string CookieValue(std::string_view header, std::string_view name);

} // namespace zqlscope::live
