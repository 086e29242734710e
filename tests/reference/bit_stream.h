// The FPGA bit stream as port images: each bit, most significant first,
// becomes three images (clock high, low, high) whose data line carries the
// bit, so that the FPGA takes it as the clock rises. Written from the port's
// lines, apart from the library's expansion table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace reference {

// Port lines: the configuration data and its clock; the others stay high
// while the FPGA is configured.
constexpr std::uint8_t kLineData = 0x10;
constexpr std::uint8_t kLineClock = 0x20;
constexpr std::uint8_t kLinesHeld = 0xC4;

// Port images per byte of the bit stream: three per bit.
constexpr std::size_t kImagesPerByte = 24;

// One port image: the held lines, the data line for a 1, the clock line.
constexpr std::uint8_t PortImage(bool bit, bool clock) {
    return static_cast<std::uint8_t>(kLinesHeld | (bit ? kLineData : 0) | (clock ? kLineClock : 0));
}

// The images of `length` bytes of `data` to `out`, which holds
// kImagesPerByte * length bytes.
void ExpandBitStream(const std::uint8_t *data, std::size_t length, std::uint8_t *out);
std::vector<std::uint8_t> ExpandBitStream(const std::vector<std::uint8_t> &data);

} // namespace reference
