// The straightforward loops that the library's own code is measured against:
// the append here, written against the library's command buffer; the record
// copies, the roll-mode decode and the FPGA expansion are the harnesses'
// reference model (tests/reference), byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zqlusb.h"

namespace bench {

// Stores a 2-byte command in the library's command buffer and flushes it
// once it holds 16,384 bytes or more.
void LiteralAppend(std::uint8_t opcode, std::uint8_t operand);

} // namespace bench
