// Expanding the FPGA bit stream into port images.
#include "config/fpga_expansion.h"

namespace zqlusb {
namespace {

// Port image lines: the configuration data, its clock, and the lines that
// stay high during configuration.
constexpr std::uint8_t kLineData = 0x10;
constexpr std::uint8_t kLineClock = 0x20;
constexpr std::uint8_t kLinesHeld = 0xC4;

constexpr int kBitsPerByte = 8;
constexpr std::size_t kImagesPerBit = 3;
static_assert(kImagesPerByte == kImagesPerBit * kBitsPerByte);

// Clock high, low, high: the bit is taken as the clock rises.
std::uint8_t *ExpandBit(std::uint8_t *out, bool one) {
    const std::uint8_t low = kLinesHeld | (one ? kLineData : 0);
    out[0] = low | kLineClock;
    out[1] = low;
    out[2] = low | kLineClock;
    return out + kImagesPerBit;
}

} // namespace

void ExpandBitStream(const unsigned char *data, std::size_t length, std::uint8_t *out) {
    for (std::size_t index = 0; index < length; ++index) {
        for (int bit = kBitsPerByte - 1; bit >= 0; --bit) {
            out = ExpandBit(out, (data[index] >> bit & 1) != 0);
        }
    }
}

} // namespace zqlusb
