// The instrument's I2C configuration EEPROM: 65,536 bytes at 16-bit
// addresses, which the firmware reaches only while an access is open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vi {

class I2CEeprom {
  public:
    static constexpr std::size_t kSize = 65536;                               // 16-bit byte addresses
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kSize, 0xFF); // erased cells read 0xFF
    bool open = false;

    // Each returns what the firmware could not carry out, or an empty text.
    // CMD_I2C_BUS: opens (0x13) or closes (0x00) an access.
    std::string Bus(std::uint8_t operand);
    // CMD_I2C_WRITE: stores a byte.
    std::string Write(std::uint8_t high, std::uint8_t low, std::uint8_t value);
    // READ_I2C_EEPROM: the byte as the answer.
    std::string Read(std::uint8_t high, std::uint8_t low, std::vector<std::uint8_t> *answer) const;
};

} // namespace vi
