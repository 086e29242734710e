// Reading words of the three-wire serial EEPROM. Its lines hang on the
// data-write port, so the library clocks the READ instruction out bit by bit
// through the operands of data writes, then asks the firmware for the word.
#include <cstring>

#include "config/operations.h"
#include "link/command_stream.h"
#include "link/commands.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {
namespace {

// Lines of the data-write port as the memory sees them.
constexpr std::uint8_t kLineDataIn = 0x01; // the bit sent to the memory
constexpr std::uint8_t kLineSelect = 0x04;
constexpr std::uint8_t kLineClock = 0x20;
constexpr std::uint8_t kLinesHeld = 0x0A; // lines held high throughout

// The port images of a read.
constexpr std::uint8_t kIdleClockHigh = kLinesHeld | kLineClock;
constexpr std::uint8_t kSelectedClockLow = kLinesHeld | kLineSelect;
constexpr std::uint8_t kSelectedClockHigh = kSelectedClockLow | kLineClock;
constexpr std::uint8_t kIdleClockLow = kLinesHeld;

// The start bit 1 followed by the READ opcode 1 0.
constexpr int kReadInstruction = 6;
constexpr int kReadInstructionBits = 3;
// The memory holds 64 words of 16 bits.
constexpr int kWordCount = 64;

// The word arrives high byte first in the caller's word.
std::uint16_t HighByteFirst(const unsigned short *word) {
    std::uint8_t bytes[sizeof *word];
    std::memcpy(bytes, word, sizeof bytes);
    return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

} // namespace

// How often num can be halved while it is above 1: the integer base-2
// logarithm for num of 1 or more, 0 below.
constexpr int GetPowerLevel(int num) {
    int level = 0;
    for (; num > 1; num /= 2) {
        ++level;
    }
    return level;
}
static_assert(GetPowerLevel(-5) == 0 && GetPowerLevel(1) == 0 && GetPowerLevel(3) == 1 && GetPowerLevel(63) == 5);

// Clocks out the low `bit` bits of data (at most 31), most significant first:
// each bit is held on the data line while the clock rises.
void WriteSerialToEEPROM(int data, int bit) {
    for (int shift = bit - 1; shift >= 0; --shift) {
        const auto line = static_cast<std::uint8_t>(static_cast<unsigned>(data) >> shift & kLineDataIn);
        WriteData(line | kSelectedClockLow);
        WriteData(line | kSelectedClockHigh);
    }
}

void ReadFromEEPROM(unsigned short address, unsigned short *ReturnValue) {
    if (ReturnValue == nullptr) {
        return;
    }
    WriteData(kIdleClockHigh);
    WriteSerialToEEPROM(kReadInstruction, kReadInstructionBits);
    WriteSerialToEEPROM(address, GetPowerLevel(kWordCount)); // bits 5-0 of the address
    WriteData(kSelectedClockLow);
    // The word is read even when the link has failed; the caller's word then
    // keeps its content, in exchanged byte order.
    SendReadRequest(READ_SERIAL_EEPROM);
    std::uint32_t returned = 0;
    ReadTransfer(ReturnValue, sizeof *ReturnValue, &returned);
    *ReturnValue = HighByteFirst(ReturnValue);
    // Deselects the memory with the next flush.
    WriteData(kIdleClockLow);
}

} // namespace zqlusb
