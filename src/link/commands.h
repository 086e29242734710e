// The command stream's byte protocol: opcodes, read sub-codes and the fixed
// sizes the instrument works in. Shared by the library and the virtual
// instrument, so both speak from one table.
#pragma once

#include <cstdint>

namespace zqlusb {

// Opcodes: the first byte of every command.
constexpr std::uint8_t CMD_NOP = 0x00;       // 2 bytes: alignment filler, operand 0x00
constexpr std::uint8_t CMD_ADDRESS = 0x01;   // 2 bytes: latch a register address
constexpr std::uint8_t CMD_DATA = 0x02;      // 2 bytes: write data to the latched register
constexpr std::uint8_t CMD_READ = 0x03;      // 4 bytes: sub-code, parameter 1, parameter 2
constexpr std::uint8_t CMD_EPB = 0x05;       // 2 bytes: the operand byte is not written
constexpr std::uint8_t CMD_I2C_BUS = 0x0C;   // 2 bytes: open (0x13) or close (0x00) an I2C EEPROM access
constexpr std::uint8_t CMD_I2C_WRITE = 0x0E; // 4 bytes: address high, address low, data

// Operands of CMD_I2C_BUS.
constexpr std::uint8_t I2C_BUS_OPEN = 0x13;
constexpr std::uint8_t I2C_BUS_CLOSE = 0x00;

// Read sub-codes: the second byte of CMD_READ.
constexpr std::uint8_t READ_BYTE = 0x04;          // 1 byte; parameters not written
constexpr std::uint8_t READ_SERIAL_EEPROM = 0x08; // 2 bytes, high first; parameters not written
constexpr std::uint8_t READ_BLOCK = 0x09;         // packet count high, low
constexpr std::uint8_t READ_ROLL = 0x0A;          // 0x00, 0x3F: 4,096 bytes
constexpr std::uint8_t READ_PRETRIGGER = 0x0B;    // 0x03, 0xFF: 65,536 bytes
constexpr std::uint8_t READ_I2C_EEPROM = 0x0D;    // address high, low; 1 byte

// Command lengths in bytes.
constexpr int kShortCommandLength = 2;
constexpr int kReadCommandLength = 4;
constexpr int kI2CWriteLength = 4;
// The length of the command that starts with `opcode`.
constexpr int CommandLength(std::uint8_t opcode) {
    if (opcode == CMD_READ) {
        return kReadCommandLength;
    }
    return opcode == CMD_I2C_WRITE ? kI2CWriteLength : kShortCommandLength;
}
// Read requests start at a multiple of this in the stream.
constexpr int kReadAlignment = 4;

// The instrument moves data in packets of this many bytes.
constexpr int kPacketSize = 64;

// The packet count a read request announces for n bytes: n rounded up to whole
// packets, minus one, in 16 bits (0 bytes announce 0xFFFF).
constexpr std::uint16_t PacketCountFor(std::uint32_t bytes) {
    return static_cast<std::uint16_t>((bytes + kPacketSize - 1) / kPacketSize - 1);
}

} // namespace zqlusb
