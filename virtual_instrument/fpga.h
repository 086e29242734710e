// The FPGA's serial configuration port on the lines of the raw writes: it
// takes the data line at each rising edge of the clock line and rebuilds the
// configuration bytes, most significant bit first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vi {

class Fpga {
  public:
    std::vector<std::uint8_t> configuration; // the complete bytes received
    std::uint64_t bits = 0;                  // bits received, a partial byte included

    // Follows the port images of one raw write; returns what was wrong with
    // them, or an empty text.
    std::string Take(const std::uint8_t *images, std::uint32_t length);

  private:
    bool clock_ = true; // the clock idles high: every bit is one low pulse
    std::uint8_t partial_ = 0;
    bool Drive(std::uint8_t image);
};

} // namespace vi
