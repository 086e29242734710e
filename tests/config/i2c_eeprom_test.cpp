// Byte access to the I2C EEPROM: the confirmation code, the bus commands
// around each access, and round trips through the memory.
#include <functional>

#include "support/fixture.h"

namespace testbed {
namespace {

using I2CEepromTest = DeviceTest;
using CodeList = std::vector<std::uint32_t>;
constexpr std::uint32_t kStream = IOCTL_SCOPE_WRITE_STREAM, kRead = IOCTL_SCOPE_READ;

unsigned Code(unsigned address) {
    return ZqlusbI2CConfirmationCode(address);
}

// The rule is published to applications: these values must never change.
TEST_F(I2CEepromTest, TheConfirmationCodeFollowsThePublishedRule) {
    EXPECT_EQ(Code(0x0000), 0x93CAu);
    EXPECT_EQ(Code(0x6C35), 0xFFFFu);
    EXPECT_EQ(Code(0x2345), 0xB3CFu);
    EXPECT_EQ(Code(0x12345), 0xB3CFu) << "only the low 16 bits count";
}

TEST_F(I2CEepromTest, BytesWrittenAreReadBackAtTheLow16BitsOfTheAddress) {
    struct Case {
        unsigned address, data, cell;
        int stored;
    };
    const Case cases[] = {{0x0000, 0x5A, 0x0000, 0x5A}, {0x1234, 0x1AB, 0x1234, 0xAB}, {0x1ABCD, 0x77, 0xABCD, 0x77}};
    Open();
    for (const Case &c : cases) {
        EXPECT_EQ(USBWriteI2CEEPROM(c.address, c.data, Code(c.address)), 0);
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(Device().i2cEeprom.bytes[c.cell], c.stored);
        EXPECT_EQ(USBReadI2CEEPROM(c.address, Code(c.address)), c.stored);
    }
}

TEST_F(I2CEepromTest, EachAccessTravelsBetweenTheBusCommands) {
    const Bytes close = {0x0C, 0x00};
    const Bytes write = {0x0C, 0x13, 0x0E, 0x12, 0x34, 0x5A, 0x0C, 0x00};
    struct Case {
        int pending;
        bool read;
        std::vector<Bytes> streams;
    };
    const Case cases[] = {
        {0, true, {{0x0C, 0x13, 0x00, 0x00, 0x03, 0x0D, 0x12, 0x34}, close}},
        {1, true, {{0x01, 0x07, 0x0C, 0x13, 0x03, 0x0D, 0x12, 0x34}, close}},
        {2, true, {{0x01, 0x07, 0x01, 0x07, 0x0C, 0x13, 0x00, 0x00, 0x03, 0x0D, 0x12, 0x34}, close}},
        {0, false, {write}},
        {1, false, {{0x01, 0x07}, write}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.read ? "read" : "write") + " behind " + std::to_string(c.pending));
        Restart();
        Open();
        for (int i = 0; i < c.pending; ++i) {
            USBWriteAddress(0x07);
        }
        if (c.read) {
            USBReadI2CEEPROM(0x1234, Code(0x1234));
            EXPECT_EQ(Codes(), (CodeList{kStream, kRead, kStream}));
        } else {
            USBWriteI2CEEPROM(0x1234, 0x5A, Code(0x1234));
        }
        EXPECT_EQ(Streams(), c.streams);
    }
}

TEST_F(I2CEepromTest, AReadBehindANearlyFullStreamGoesInTheSameTransfer) {
    for (int pending : {8190, 8191}) {
        Restart();
        Open();
        Device().i2cEeprom.bytes[0x0102] = 0x99;
        for (int i = 0; i < pending; ++i) {
            USBWriteData(0);
        }
        EXPECT_EQ(USBReadI2CEEPROM(0x0102, Code(0x0102)), 0x99);
        ASSERT_EQ(Streams().size(), 2u);
        ASSERT_EQ(Streams().at(0).size(), 16388u) << "the opening command and the request use the spare bytes";
        EXPECT_BYTES(Slice(Streams().at(0), 16384, 4), (Bytes{0x03, 0x0D, 0x01, 0x02}));
    }
}

TEST_F(I2CEepromTest, AWrongCodeIsRefusedWithNothingSent) {
    const unsigned right = Code(0x1234);
    for (unsigned code : {right + 1, Code(0x1235), right | 0x10000u, right | 0x80000000u}) {
        SCOPED_TRACE(code);
        Restart();
        Open();
        USBWriteData(0x33);
        EXPECT_EQ(USBReadI2CEEPROM(0x1234, code), 2730);
        EXPECT_EQ(USBWriteI2CEEPROM(0x1234, 0x00, code), 1365);
        EXPECT_TRUE(Device().transfers.empty());
        USBFlushBuffer();
        EXPECT_EQ(Streams(), (std::vector<Bytes>{{0x02, 0x33}})) << "the pending command is kept";
    }
}

TEST_F(I2CEepromTest, AReadThatGetsNoByteReturnsZeroAndStillClosesTheBus) {
    struct Case {
        std::function<void(vi::Faults &)> fault;
        CodeList codes;
        std::vector<std::string> errors; // a close without an open, as the firmware sees it
    };
    const Case cases[] = {
        {[](vi::Faults &f) { f.failReads = 1; }, {kStream, kRead, kStream}, {}},
        {[](vi::Faults &f) { f.failWrites = 1; }, {kStream, kStream}, {"I2C EEPROM access closed while not open"}},
    };
    for (const Case &c : cases) {
        Restart();
        Open();
        Device().i2cEeprom.bytes[0x0042] = 0xAB;
        ASSERT_EQ(USBReadI2CEEPROM(0x0042, Code(0x0042)), 0xAB);
        Device().transfers.clear();
        c.fault(Device().faults);
        EXPECT_EQ(USBReadI2CEEPROM(0x0042, Code(0x0042)), 0);
        EXPECT_EQ(Codes(), c.codes);
        EXPECT_BYTES(Streams().back(), (Bytes{0x0C, 0x00}));
        EXPECT_FALSE(Device().i2cEeprom.open);
        EXPECT_EQ(Device().errors.protocol, c.errors);
        Device().errors.protocol.clear();
    }
}

} // namespace
} // namespace testbed
