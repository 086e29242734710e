// The live server's access rules: host names, the start key and where a
// request carries it.
#include <algorithm>
#include <cctype>
#include <random>
#include <stdexcept>

#include "access.h"

namespace zqlscope::live {

namespace {

namespace ip = boost::asio::ip;

// The longest DNS name; anything longer is not one.
constexpr std::size_t kMaxHostName = 253;
// Random bits of the start key, in 32-bit draws.
constexpr int kTokenWords = 4;

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The name of a Host header without its port ("[::1]" keeps its brackets);
// empty when the header is malformed.
std::string HostName(std::string_view host) {
    std::size_t end = host.size();
    if (!host.empty() && host[0] == '[') {
        end = host.find(']');
        if (end == std::string_view::npos) {
            return "";
        }
        ++end;
    } else {
        end = std::min(end, host.find(':'));
    }
    const std::string_view rest = host.substr(end);
    if (!rest.empty() && (rest[0] != ':' || !AllDigits(rest.substr(1)))) {
        return "";
    }
    return Lower(host.substr(0, end));
}

// The address a literal host name stands for, if it is one.
bool LiteralAddress(const std::string &name, ip::address &out) {
    const bool bracketed = name.size() > 2 && name.front() == '[' && name.back() == ']';
    boost::system::error_code ec;
    out = ip::make_address(bracketed ? name.substr(1, name.size() - 2) : name, ec);
    return !ec && (bracketed == out.is_v6());
}

} // namespace

ip::address Unmapped(const ip::address &address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return ip::make_address_v4(ip::v4_mapped, address.to_v6());
    }
    return address;
}

bool IsLoopback(const ip::address &address) {
    return Unmapped(address).is_loopback();
}

bool HostAllowed(const HostRules &rules, std::string_view host, const ip::address &arrivedAt) {
    const std::string name = HostName(host);
    if (name.empty()) {
        return false;
    }
    if (std::find(rules.allowed.begin(), rules.allowed.end(), name) != rules.allowed.end()) {
        return true;
    }
    if ((rules.loopbackListener || IsLoopback(arrivedAt)) &&
        (name == "localhost" || name == "127.0.0.1" || name == "[::1]")) {
        return true;
    }
    ip::address literal;
    return LiteralAddress(name, literal) && Unmapped(literal) == Unmapped(arrivedAt);
}

std::string CheckedHostName(const std::string &name) {
    const bool plain =
        std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; });
    if (name.empty() || name.size() > kMaxHostName || !plain || name.front() == '.' || name.front() == '-') {
        throw std::invalid_argument("--allow-host takes host names of letters, digits, '-' and '.', not '" + name +
                                    "'");
    }
    return Lower(name);
}

std::string NewToken() {
    std::random_device source; // the system's entropy source on Linux and Windows alike
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (int i = 0; i < kTokenWords; ++i) {
        const std::uint32_t word = source();
        for (int shift = 28; shift >= 0; shift -= 4) {
            token += kHex[(word >> shift) & 0xF];
        }
    }
    return token;
}

bool SameToken(std::string_view given, std::string_view token) {
    if (given.size() != token.size() || token.empty()) {
        return false;
    }
    unsigned char differ = 0;
    for (std::size_t i = 0; i < token.size(); ++i) {
        differ |= static_cast<unsigned char>(given[i] ^ token[i]);
    }
    return differ == 0;
}

std::string QueryValue(std::string_view target, std::string_view key) {
    const std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) {
        return "";
    }
    std::string_view query = target.substr(mark + 1);
    while (!query.empty()) {
        const std::size_t amp = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, amp);
        if (pair.size() > key.size() && pair.substr(0, key.size()) == key && pair[key.size()] == '=') {
            return std::string(pair.substr(key.size() + 1));
        }
        query.remove_prefix(std::min(amp + 1, query.size()));
    }
    return "";
}

std::string CookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const std::size_t semi = std::min(header.find(';'), header.size());
        std::string_view pair = header.substr(0, semi);
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=') {
            return std::string(pair.substr(name.size() + 1));
        }
        header.remove_prefix(std::min(semi + 1, header.size()));
    }
    return "";
}

} // namespace zqlscope::live
