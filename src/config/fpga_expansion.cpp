// Expanding the FPGA bit stream into port images, one table entry of 24
// images per input byte.
#include "config/fpga_expansion.h"

#include <array>
#include <cstring>

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
// Every value an input byte can take.
constexpr std::size_t kByteValues = 256;

using ByteImages = std::array<std::uint8_t, kImagesPerByte>;

// Clock high, low, high for each bit, most significant first: the bit is
// taken as the clock rises.
consteval ByteImages ImagesOf(std::size_t value) {
    ByteImages images{};
    for (int bit = kBitsPerByte - 1, at = 0; bit >= 0; --bit, at += static_cast<int>(kImagesPerBit)) {
        const std::uint8_t low = kLinesHeld | (((value >> bit) & 1) != 0 ? kLineData : 0);
        images[static_cast<std::size_t>(at)] = low | kLineClock;
        images[static_cast<std::size_t>(at) + 1] = low;
        images[static_cast<std::size_t>(at) + 2] = low | kLineClock;
    }
    return images;
}

consteval std::array<ByteImages, kByteValues> ImageTable() {
    std::array<ByteImages, kByteValues> table{};
    for (std::size_t value = 0; value < kByteValues; ++value) {
        table[value] = ImagesOf(value);
    }
    return table;
}

// 6 KiB, built by the compiler.
constexpr std::array<ByteImages, kByteValues> kImageTable = ImageTable();
static_assert(kImageTable[0xA5][0] == 0xF4 && kImageTable[0xA5][4] == 0xC4 && kImageTable[0xA5][22] == 0xD4);

} // namespace

void ExpandBitStream(const unsigned char *data, std::size_t length, std::uint8_t *out) {
    for (std::size_t index = 0; index < length; ++index) {
        std::memcpy(out, kImageTable[data[index]].data(), kImagesPerByte);
        out += kImagesPerByte;
    }
}

} // namespace zqlusb
