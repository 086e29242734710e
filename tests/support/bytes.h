// Byte comparisons that print both sides as hex, and the two-pattern check of
// which bytes of an output a call wrote.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testbed {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(const Bytes &bytes);

// For EXPECT_BYTES: equal byte sequences, or both sides in hex around the
// first difference.
::testing::AssertionResult SameBytes(const char *actualExpr, const char *expectedExpr, const Bytes &actual,
                                     const Bytes &expected);

// Calls `call` twice on a buffer of `size` bytes, filled with 0x5A and then
// with 0xA5; a byte counts as written when either call changed it.
std::vector<bool> WrittenPositions(std::size_t size, const std::function<void(std::uint8_t *)> &call);

// `count` bytes of `bytes` from `from` on, fewer where `bytes` ends.
Bytes Slice(const Bytes &bytes, std::size_t from, std::size_t count);

// The positions that `written` marks, as a readable list for failure output.
std::vector<std::size_t> Marked(const std::vector<bool> &written);

} // namespace testbed

#define EXPECT_BYTES(actual, expected) EXPECT_PRED_FORMAT2(::testbed::SameBytes, actual, expected)
#define ASSERT_BYTES(actual, expected) ASSERT_PRED_FORMAT2(::testbed::SameBytes, actual, expected)
