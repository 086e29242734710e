// Decoding the READ instruction from the lines of the serial EEPROM.
#include "virtual_instrument/serial_eeprom.h"

namespace vi {
namespace {

// Lines of the data-write port that reach the memory.
constexpr std::uint8_t kLineDataIn = 0x01;
constexpr std::uint8_t kLineSelect = 0x04;
constexpr std::uint8_t kLineClock = 0x20;

// A READ instruction: the start bit 1, the opcode 1 0, 6 address bits.
constexpr int kAddressBits = 6;
constexpr int kInstructionBits = 3 + kAddressBits;
constexpr std::uint32_t kStartAndRead = 0b110;

} // namespace

void SerialEeprom::Drive(std::uint8_t image) {
    const bool select = (image & kLineSelect) != 0;
    const bool clock = (image & kLineClock) != 0;
    if (!select) {
        bitCount_ = 0; // deselecting abandons an instruction
        instruction_ = 0;
    } else if (selected_ && clock && !clock_) {
        // The memory takes the data line as the clock rises.
        instruction_ = instruction_ << 1 | (image & kLineDataIn);
        ++bitCount_;
    }
    selected_ = select;
    clock_ = clock;
}

std::string SerialEeprom::Answer(std::vector<std::uint8_t> *answer) {
    if (!selected_) {
        return "serial EEPROM read while the memory is not selected";
    }
    if (bitCount_ != kInstructionBits) {
        return "serial EEPROM read after " + std::to_string(bitCount_) + " instruction bits instead of " +
               std::to_string(kInstructionBits);
    }
    if (instruction_ >> kAddressBits != kStartAndRead) {
        return "serial EEPROM instruction is not a start bit and READ";
    }
    const std::uint16_t word = words[instruction_ & (kWords - 1)];
    *answer = {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)};
    bitCount_ = 0; // the instruction is spent; the next read needs a new one
    instruction_ = 0;
    return {};
}

} // namespace vi
