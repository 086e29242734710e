// The instrument's three-wire serial EEPROM: 64 words of 16 bits on the lines
// of the data-write port. It follows the lines of every data-write operand
// and decodes the READ instruction clocked into it; when the read request
// comes, the firmware clocks the addressed word out and answers with it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vi {

class SerialEeprom {
  public:
    static constexpr int kWords = 64;
    // As shipped: the name "ZELQA" and a serial number in words 0-3, then a
    // calibration table that rises by 0x0101 per word.
    static constexpr std::array<std::uint16_t, kWords> FactoryContents() {
        std::array<std::uint16_t, kWords> out{0x5A45, 0x4C51, 0x4100, 0x2026};
        for (int i = 4; i < kWords; ++i) {
            out[i] = static_cast<std::uint16_t>(0x8000 + 0x0101 * (i - 4));
        }
        return out;
    }
    std::array<std::uint16_t, kWords> words = FactoryContents();

    // Follows the lines of one data-write operand.
    void Drive(std::uint8_t image);
    // READ_SERIAL_EEPROM: the addressed word, high byte first, as the answer;
    // or what is wrong with the instruction received.
    std::string Answer(std::vector<std::uint8_t> *answer);

  private:
    bool selected_ = false;
    bool clock_ = false;
    int bitCount_ = 0;              // bits sampled since the memory was selected
    std::uint32_t instruction_ = 0; // the last of them, first bit highest
};

} // namespace vi
