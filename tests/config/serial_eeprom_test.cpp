// Reading words of the three-wire serial EEPROM: the instruction clocked out
// through data writes, the read request, and the word's byte order.
#include "support/fixture.h"

namespace testbed {
namespace {

using SerialEepromTest = DeviceTest;
using CodeList = std::vector<std::uint32_t>;
constexpr std::uint32_t kStream = IOCTL_SCOPE_WRITE_STREAM, kRead = IOCTL_SCOPE_READ;

// The data writes that select word 5: idle with the clock high; the start bit
// and READ (1 1 0); the address 000101; selected with the clock low.
const Bytes kWord5Instruction = {
    0x02, 0x2A, 0x02, 0x0F, 0x02, 0x2F, 0x02, 0x0F, 0x02, 0x2F, 0x02, 0x0E, 0x02, 0x2E,
    0x02, 0x0E, 0x02, 0x2E, 0x02, 0x0E, 0x02, 0x2E, 0x02, 0x0E, 0x02, 0x2E, 0x02, 0x0F,
    0x02, 0x2F, 0x02, 0x0E, 0x02, 0x2E, 0x02, 0x0F, 0x02, 0x2F, 0x02, 0x0E,
};

TEST_F(SerialEepromTest, PlantedWordsAreReadAtTheLowSixBitsOfTheAddress) {
    Open();
    for (int word = 0; word < vi::SerialEeprom::kWords; ++word) {
        // Distinct high and low bytes, so that a wrong byte order shows.
        Device().serialEeprom.words[word] = static_cast<std::uint16_t>((0x40 + word) << 8 | (0xC0 - word));
    }
    for (int data = 0; data < 256; ++data) {
        USBWriteData(static_cast<unsigned char>(data)); // ordinary writes drive the lines as well
    }
    for (int address : {0, 5, 42, 63, 64, 69, 0xFFFF}) {
        unsigned short value = 0xDEAD;
        USBReadFromEEPROM(static_cast<unsigned short>(address), &value);
        EXPECT_EQ(value, Device().serialEeprom.words[address % 64]) << "address " << address;
    }
}

TEST_F(SerialEepromTest, TheInstructionAndRequestGoInOneTransferAndTheDeselectStaysPending) {
    for (bool behindACommand : {false, true}) {
        SCOPED_TRACE(behindACommand ? "48 bytes behind one command" : "44 bytes from an empty stream");
        Restart();
        Open();
        Device().serialEeprom.words[5] = 0x12AB;
        Bytes expected = kWord5Instruction;
        if (behindACommand) {
            USBWriteAddress(0x40);
            expected.insert(expected.begin(), {0x01, 0x40});
            expected.insert(expected.end(), {0x00, 0x00}); // CMD_NOP
        }
        expected.insert(expected.end(), {0x03, 0x08});
        unsigned short value = 0;
        USBReadFromEEPROM(5, &value);
        EXPECT_EQ(value, 0x12AB);
        EXPECT_EQ(Codes(), (CodeList{kStream, kRead}));
        ASSERT_EQ(Streams().at(0).size(), expected.size() + 2) << "two parameter bytes are not written";
        EXPECT_BYTES(Slice(Streams().at(0), 0, expected.size()), expected);
        EXPECT_EQ(Device().transfers.at(1).inLength, 2u);
        USBFlushBuffer();
        EXPECT_BYTES(Streams().back(), (Bytes{0x02, 0x0A}));
    }
}

TEST_F(SerialEepromTest, WhenTheLinkHasFailedTheReadIsStillMadeAndTheWordsBytesExchanged) {
    allowProtocolErrors = true;
    Open();
    Device().faults.failWrites = 1;
    unsigned short value = 0x1234;
    USBReadFromEEPROM(5, &value);
    EXPECT_EQ(Codes(), (CodeList{kStream, kRead}));
    EXPECT_EQ(value, 0x3412);
    EXPECT_EQ(Device().errors.protocol, (std::vector<std::string>{"read transfer without a read request"}));
}

} // namespace
} // namespace testbed
