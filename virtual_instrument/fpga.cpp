// Rebuilding the FPGA configuration from the port images of raw writes.
#include "virtual_instrument/fpga.h"

namespace vi {
namespace {

constexpr std::uint8_t kLineData = 0x10;
constexpr std::uint8_t kLineClock = 0x20;
// All other lines are fixed while the FPGA is configured: 0x80, 0x40 and 0x04
// high, 0x08, 0x02 and 0x01 low.
constexpr std::uint8_t kFixedLines = static_cast<std::uint8_t>(~(kLineData | kLineClock));
constexpr std::uint8_t kFixedLevels = 0xC4;
constexpr int kBitsPerByte = 8;

} // namespace

// Returns false when a fixed line is not at its level.
bool Fpga::Drive(std::uint8_t image) {
    const bool clock = (image & kLineClock) != 0;
    if (clock && !clock_) {
        partial_ = static_cast<std::uint8_t>(partial_ << 1 | ((image & kLineData) != 0 ? 1 : 0));
        if (++bits % kBitsPerByte == 0) {
            configuration.push_back(partial_);
        }
    }
    clock_ = clock;
    return (image & kFixedLines) == kFixedLevels;
}

std::string Fpga::Take(const std::uint8_t *images, std::uint32_t length) {
    std::uint32_t wrong = 0;
    std::uint32_t first = 0;
    for (std::uint32_t i = 0; i < length; ++i) {
        if (!Drive(images[i]) && wrong++ == 0) {
            first = i;
        }
    }
    if (wrong == 0) {
        return {};
    }
    return std::to_string(wrong) + " raw images with unexpected fixed lines, the first at offset " +
           std::to_string(first);
}

} // namespace vi
