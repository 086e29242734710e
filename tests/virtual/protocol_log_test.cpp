// The instrument's protocol-error log stays bounded however long a faulty
// application talks to it: the first errors are kept word for word, the
// rest counted, whichever part of the firmware finds them.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "link/commands.h"
#include "virtual_instrument/instrument.h"

namespace {

using namespace zqlusb;

// A stream of 2-byte filler commands with a nonzero operand: every one of
// them is a protocol error.
std::vector<std::uint8_t> BadFillers(std::size_t bytes) {
    std::vector<std::uint8_t> stream(bytes);
    for (std::size_t i = 0; i < bytes; i += 2) {
        stream[i] = CMD_NOP;
        stream[i + 1] = 0x01;
    }
    return stream;
}

TEST(ProtocolLogTest, KeepsTheFirstErrorsAndCountsTheRest) {
    const struct {
        const char *what;
        std::size_t streams;
        std::size_t bytes; // per stream
        std::size_t kept;
        std::uint64_t dropped;
    } cases[] = {
        {"a few errors", 1, 16, 8, 0},
        {"exactly the bound", 1, 2 * vi::kProtocolErrorsKept, vi::kProtocolErrorsKept, 0},
        {"one past the bound", 1, 2 * vi::kProtocolErrorsKept + 2, vi::kProtocolErrorsKept, 1},
        {"100 malformed 16 KiB streams", 100, 16384, vi::kProtocolErrorsKept,
         100u * 8192u - vi::kProtocolErrorsKept},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        vi::Instrument device;
        const std::vector<std::uint8_t> stream = BadFillers(c.bytes);
        for (std::size_t i = 0; i < c.streams; ++i) {
            device.WriteStream(stream.data(), static_cast<std::uint32_t>(stream.size()));
        }
        EXPECT_EQ(device.errors.protocol.size(), c.kept);
        EXPECT_EQ(device.errors.protocolDropped, c.dropped);
        ASSERT_FALSE(device.errors.protocol.empty());
        EXPECT_EQ(device.errors.protocol.front(), "CMD_NOP with operand 0x01");
    }
}

// The acquisition memory's complaints (a roll read with wrong parameters)
// go through the same bound once the log is full, and are kept before.
TEST(ProtocolLogTest, AcquisitionErrorsShareTheBound) {
    const std::vector<std::uint8_t> badRoll = {CMD_READ, READ_ROLL, 0x12, 0x34};
    vi::Instrument device;
    device.WriteStream(badRoll.data(), static_cast<std::uint32_t>(badRoll.size()));
    ASSERT_EQ(device.errors.protocol.size(), 1u);
    EXPECT_NE(device.errors.protocol[0].find("READ_ROLL"), std::string::npos) << device.errors.protocol[0];

    const std::vector<std::uint8_t> fill = BadFillers(2 * vi::kProtocolErrorsKept);
    device.WriteStream(fill.data(), static_cast<std::uint32_t>(fill.size()));
    std::uint8_t area[4096];
    std::uint32_t returned = 0;
    device.Read(area, sizeof area, &returned); // takes the empty answer
    device.WriteStream(badRoll.data(), static_cast<std::uint32_t>(badRoll.size()));
    EXPECT_EQ(device.errors.protocol.size(), vi::kProtocolErrorsKept);
    EXPECT_EQ(device.errors.protocolDropped, 2u) << "the last filler and the second roll read";
}

} // namespace
