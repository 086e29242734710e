// Loading the FPGA's configuration bit stream: every bit becomes three port
// images that hold it on the data line while the clock line pulses low, all
// sent in one raw write.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "link/caller_blocks.h"
#include "link/connection.h"
#include "link/control_requests.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {
namespace {

// Port image lines: the configuration data, its clock, and the lines that
// stay high during configuration.
constexpr std::uint8_t kLineData = 0x10;
constexpr std::uint8_t kLineClock = 0x20;
constexpr std::uint8_t kLinesHeld = 0xC4;

constexpr int kBitsPerByte = 8;
constexpr std::size_t kImagesPerBit = 3;
constexpr std::size_t kImagesPerByte = kImagesPerBit * kBitsPerByte;
// The expansion must fit the transfer's 32-bit length and the allocator's size type.
constexpr std::size_t kLongestExpansion = SIZE_MAX < UINT32_MAX ? SIZE_MAX : UINT32_MAX;

// Clock high, low, high: the bit is taken as the clock rises.
std::uint8_t *ExpandBit(std::uint8_t *out, bool one) {
    const std::uint8_t low = kLinesHeld | (one ? kLineData : 0);
    out[0] = low | kLineClock;
    out[1] = low;
    out[2] = low | kLineClock;
    return out + kImagesPerBit;
}

void Expand(const unsigned char *data, std::size_t length, std::uint8_t *out) {
    for (std::size_t index = 0; index < length; ++index) {
        for (int bit = kBitsPerByte - 1; bit >= 0; --bit) {
            out = ExpandBit(out, (data[index] >> bit & 1) != 0);
        }
    }
}

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
    // At least one byte, so that an empty stream is sent like any other.
    auto *work = static_cast<std::uint8_t *>(std::calloc(size > 0 ? size : 1, 1));
    if (work == nullptr) {
        return;
    }
    Expand(Data, length, work);
    // Every repetition sends the whole expansion again from its first byte.
    WriteUntilDone(IOCTL_SCOPE_WRITE_RAW, work, static_cast<DWORD>(size), static_cast<DWORD>(size));
    std::free(work);
}

} // namespace zqlusb
