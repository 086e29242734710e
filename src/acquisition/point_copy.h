// Spreading received points, two bytes each with channel A first, over the
// two channels of a caller's record.
#pragma once

#include <cstdint>

#include "zqlusb.h"

namespace zqlusb {

// Point k of `received` goes to index first + k * step of both channels, for
// every such index below end; step is at least 1 whenever first < end.
void PlacePoints(const std::uint8_t *received, OutPutData &record, std::int32_t first, std::int32_t end,
                 std::int32_t step);

} // namespace zqlusb
