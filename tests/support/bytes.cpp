#include "support/bytes.h"

#include <algorithm>
#include <cstdio>

namespace testbed {

namespace {
// Bytes shown on each side of the first difference.
constexpr std::size_t kContext = 16;

std::string HexRange(const Bytes &bytes, std::size_t from, std::size_t to) {
    std::string out = from > 0 ? "... " : "";
    for (std::size_t i = from; i < to && i < bytes.size(); ++i) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", bytes[i]);
        out += text;
        out += i + 1 < bytes.size() ? " " : "";
    }
    return out + (to < bytes.size() ? "..." : "");
}
} // namespace

std::string Hex(const Bytes &bytes) {
    return HexRange(bytes, 0, bytes.size());
}

::testing::AssertionResult SameBytes(const char *actualExpr, const char *expectedExpr, const Bytes &actual,
                                     const Bytes &expected) {
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    std::size_t at = static_cast<std::size_t>(diff.first - actual.begin());
    std::size_t from = at > kContext ? at - kContext : 0;
    return ::testing::AssertionFailure() << actualExpr << " differs from " << expectedExpr << " at offset " << at
                                         << "\n  actual   (" << actual.size()
                                         << " bytes): " << HexRange(actual, from, at + kContext) << "\n  expected ("
                                         << expected.size() << " bytes): " << HexRange(expected, from, at + kContext);
}

std::vector<bool> WrittenPositions(std::size_t size, const std::function<void(std::uint8_t *)> &call) {
    std::vector<bool> written(size, false);
    for (std::uint8_t fill : {std::uint8_t{0x5A}, std::uint8_t{0xA5}}) {
        Bytes buffer(size, fill);
        call(buffer.data());
        for (std::size_t i = 0; i < size; ++i) {
            written[i] = written[i] || buffer[i] != fill;
        }
    }
    return written;
}

Bytes Slice(const Bytes &bytes, std::size_t from, std::size_t count) {
    from = std::min(from, bytes.size());
    count = std::min(count, bytes.size() - from);
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

std::vector<std::size_t> Marked(const std::vector<bool> &written) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i]) {
            out.push_back(i);
        }
    }
    return out;
}

} // namespace testbed
