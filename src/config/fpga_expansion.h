// The FPGA bit stream as port images: every bit becomes three images that
// hold it on the data line while the clock line pulses low.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zqlusb {

// Port images per input byte: three for each of its eight bits.
constexpr std::size_t kImagesPerByte = 24;

// Expands `length` bytes of `data`, most significant bit first, into
// kImagesPerByte * length images at `out`.
void ExpandBitStream(const unsigned char *data, std::size_t length, std::uint8_t *out);

} // namespace zqlusb
