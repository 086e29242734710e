// ScopeBuffer: the library's one receive buffer for acquisition reads, and
// the sizes that the three acquisition operations work in.
#pragma once

#include <cstdint>

namespace zqlusb {

// Bytes of ScopeBuffer: the largest reply, the pre-trigger memory.
constexpr std::uint32_t kScopeBufferSize = 65536;

// Process-wide, zero at load. Only the read transfers of the three
// acquisition operations fill it, always from its start; it keeps its
// content between calls, and the operations copy or decode from it even when
// their read transfer was skipped or delivered less.
extern std::uint8_t ScopeBuffer[kScopeBufferSize];

// Points per channel of OutPutData: the largest output index plus one.
constexpr std::int32_t kRecordPoints = 32768;

} // namespace zqlusb
