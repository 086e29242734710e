// The I2C EEPROM behind the bus commands.
#include "virtual_instrument/i2c_eeprom.h"

#include "link/commands.h"

namespace vi {
namespace {
std::size_t At(std::uint8_t high, std::uint8_t low) {
    return static_cast<std::size_t>(high) << 8 | low;
}
} // namespace

std::string I2CEeprom::Bus(std::uint8_t operand) {
    if (operand != zqlusb::I2C_BUS_OPEN && operand != zqlusb::I2C_BUS_CLOSE) {
        return "I2C bus command with operand " + std::to_string(operand);
    }
    const bool opening = operand == zqlusb::I2C_BUS_OPEN;
    if (opening == open) {
        return opening ? "I2C EEPROM access opened twice" : "I2C EEPROM access closed while not open";
    }
    open = opening;
    return {};
}

std::string I2CEeprom::Write(std::uint8_t high, std::uint8_t low, std::uint8_t value) {
    if (!open) {
        return "I2C EEPROM write outside an open access";
    }
    bytes[At(high, low)] = value;
    return {};
}

std::string I2CEeprom::Read(std::uint8_t high, std::uint8_t low, std::vector<std::uint8_t> *answer) const {
    if (!open) {
        return "I2C EEPROM read outside an open access";
    }
    *answer = {bytes[At(high, low)]};
    return {};
}

} // namespace vi
