// Loading the FPGA's configuration bit stream: every bit becomes three port
// images that hold it on the data line while the clock line pulses low, all
// sent in one raw write.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "config/fpga_expansion.h"
#include "config/operations.h"
#include "link/caller_blocks.h"
#include "link/connection.h"
#include "link/control_requests.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {
namespace {

// The expansion must fit the transfer's 32-bit length and the allocator's size type.
constexpr std::size_t kLongestExpansion = SIZE_MAX < UINT32_MAX ? SIZE_MAX : UINT32_MAX;

} // namespace

void LoadFPGA(const unsigned char *Data, int Length) {
    if (!UsableBlock(Data, Length)) {
        return;
    }
    FlushBuffer(); // pending commands reach the instrument before the bit stream
    const auto length = static_cast<std::size_t>(Length);
    if (length > kLongestExpansion / kImagesPerByte) {
        return;
    }
    const std::size_t size = length * kImagesPerByte;
    // At least one byte, so that an empty stream is sent like any other. Not
    // cleared: the expansion writes every byte that is sent.
    auto *work = static_cast<std::uint8_t *>(std::malloc(size > 0 ? size : 1));
    if (work == nullptr) {
        return;
    }
    ExpandBitStream(Data, length, work);
    // Every repetition sends the whole expansion again from its first byte.
    WriteUntilDone(IOCTL_SCOPE_WRITE_RAW, work, static_cast<DWORD>(size), static_cast<DWORD>(size));
    std::free(work);
}

} // namespace zqlusb
