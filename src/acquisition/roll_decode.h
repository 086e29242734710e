// Decoding a roll-mode block: 64-byte packets whose first byte is skipped
// and whose other 63 bytes hold 21 tagged records (tag, channel A, channel B).
#pragma once

#include <cstdint>

#include "zqlusb.h"

namespace zqlusb {

// Decodes the records among the first `delivered` bytes of `block` up to the
// first tag that is not a data tag: the points to indices 2 on of both
// channels, their count to TempBufferA bytes 0-1 (little-endian), and 1 to
// TempBufferB byte 0 if decoding ended at an invalid-data tag, else 0. A
// record cut off by the end of the delivered bytes is dropped.
// Decodes by the fastest path the processor allows.
void DecodeRollBlock(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record);

// The two paths that decode the leading packets whose tags are all data
// tags, with the same result: one record at a time, and byte shuffles of
// 16-byte vectors (x86 with SSSE3). Named so that the tests run each.
enum class RollDecodePath { Portable, Shuffle };
// Whether this build and processor have the path.
bool HasRollDecodePath(RollDecodePath path);
// Decodes by `path`, which must be one the processor has.
void DecodeRollBlock(RollDecodePath path, const std::uint8_t *block, std::uint32_t delivered, OutPutData &record);

} // namespace zqlusb
