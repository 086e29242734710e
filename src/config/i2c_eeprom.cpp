// Byte access to the I2C configuration EEPROM. The firmware carries out the
// I2C accesses; the library places the bus commands in the stream, and for a
// read a read request, guarded by the confirmation code of the address.
#include "config/operations.h"
#include "link/command_stream.h"
#include "link/commands.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {
namespace {

// The code is compared in all 32 bits: a code with bits above 15 never matches.
bool CodeMatches(unsigned int address, unsigned int code) {
    return code == ZqlusbI2CConfirmationCode(address);
}

std::uint8_t AddressHigh(unsigned int address) {
    return static_cast<std::uint8_t>(address >> 8);
}

std::uint8_t AddressLow(unsigned int address) {
    return static_cast<std::uint8_t>(address);
}

// Appends CMD_I2C_WRITE: address high, address low, data byte. No flush test:
// it travels between the opening and the closing command.
void AppendI2CWrite(unsigned int address, unsigned int data) {
    std::uint8_t *at = Buffer + BufferLength;
    at[0] = CMD_I2C_WRITE;
    at[1] = AddressHigh(address);
    at[2] = AddressLow(address);
    at[3] = static_cast<std::uint8_t>(data);
    BufferLength += kI2CWriteLength;
}

} // namespace

int ReadI2CEEPROM(unsigned int address, unsigned int code) {
    if (!CodeMatches(address, code)) {
        return ZQLUSB_I2C_READ_REFUSED;
    }
    // The opening command and the request travel with the pending commands
    // in one transfer; the buffer's spare bytes hold them when it is nearly full.
    const std::uint8_t opening[] = {CMD_I2C_BUS, I2C_BUS_OPEN};
    std::uint8_t received = 0; // stays 0 when no byte arrives
    std::uint32_t returned = 0;
    if (SendReadRequest(READ_I2C_EEPROM, AddressHigh(address), AddressLow(address), opening)) {
        ReadTransfer(&received, 1, &returned);
    }
    // The bus is closed whether or not the byte came.
    AppendUnchecked(CMD_I2C_BUS, I2C_BUS_CLOSE);
    FlushBuffer();
    return received;
}

int WriteI2CEEPROM(unsigned int address, unsigned int data, unsigned int code) {
    if (!CodeMatches(address, code)) {
        return ZQLUSB_I2C_WRITE_REFUSED;
    }
    FlushBuffer(); // pending commands go first, in a transfer of their own
    AppendUnchecked(CMD_I2C_BUS, I2C_BUS_OPEN);
    AppendI2CWrite(address, data);
    AppendUnchecked(CMD_I2C_BUS, I2C_BUS_CLOSE);
    FlushBuffer();
    return 0;
}

} // namespace zqlusb
