// The straightforward loops: each algorithm transcribed step by step, byte
// by byte, as the baseline that the library's own code is measured against.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zqlusb.h"

namespace bench {

// Stores a 2-byte command in the library's command buffer and flushes it
// once it holds 16,384 bytes or more.
void LiteralAppend(std::uint8_t opcode, std::uint8_t operand);

// Point k of `received` to index offset + k * step, while below offset + count.
void LiteralRecordCopy(const std::uint8_t *received, OutPutData &record, std::int32_t offset, std::int32_t count,
                       std::int32_t step);

// Points 0 to 31,999 from received offset 1,536 on.
void LiteralPreTriggerCopy(const std::uint8_t *received, OutPutData &record);

// The tagged records of a roll-mode block, with count and invalid flag.
void LiteralRollDecode(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record);

// Three port images per bit, walking a bit mask from 0x80 down.
void LiteralExpand(const unsigned char *data, std::size_t length, std::uint8_t *out);

} // namespace bench
