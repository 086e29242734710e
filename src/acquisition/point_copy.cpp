// Spreading received points over the two channels of a record.
#include "acquisition/point_copy.h"

namespace zqlusb {
namespace {

// Points per block of the contiguous copy: a whole number of 16-byte
// vectors per channel, and pointers that cannot alias, so that the compiler
// may turn a block into vector loads, byte unzips and stores where the
// target has them. Elsewhere the block is the same byte loop.
constexpr std::int32_t kBlockPoints = 32;

void SpreadBlock(const std::uint8_t *__restrict received, std::uint8_t *__restrict a, std::uint8_t *__restrict b) {
    for (std::int32_t k = 0; k < kBlockPoints; ++k) {
        a[k] = received[2 * k];
        b[k] = received[2 * k + 1];
    }
}

// Step 1: point k to index k of a and b.
void SpreadContiguous(const std::uint8_t *received, std::uint8_t *a, std::uint8_t *b, std::int32_t points) {
    std::int32_t k = 0;
    for (; k + kBlockPoints <= points; k += kBlockPoints) {
        SpreadBlock(received + 2 * k, a + k, b + k);
    }
    for (; k < points; ++k) {
        a[k] = received[2 * k];
        b[k] = received[2 * k + 1];
    }
}

} // namespace

void PlacePoints(const std::uint8_t *received, OutPutData &record, std::int32_t first, std::int32_t end,
                 std::int32_t step) {
    if (step == 1) {
        if (first < end) {
            SpreadContiguous(received, record.TempBufferA + first, record.TempBufferB + first, end - first);
        }
        return;
    }
    std::int32_t r = 0;
    for (std::int32_t i = first; i < end; i += step) {
        record.TempBufferA[i] = received[r];
        record.TempBufferB[i] = received[r + 1];
        r += 2;
    }
}

} // namespace zqlusb
