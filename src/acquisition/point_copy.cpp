// Spreading received points over the two channels of a record.
#include "acquisition/point_copy.h"

namespace zqlusb {

void PlacePoints(const std::uint8_t *received, OutPutData &record, std::int32_t first, std::int32_t end,
                 std::int32_t step) {
    std::int32_t r = 0;
    for (std::int32_t i = first; i < end; i += step) {
        record.TempBufferA[i] = received[r];
        record.TempBufferB[i] = received[r + 1];
        r += 2;
    }
}

} // namespace zqlusb
