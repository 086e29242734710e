// Direct transfers beside the register writes: one byte the instrument holds
// ready, a block of any length, and raw bytes passed on unchanged.
#include "link/caller_blocks.h"
#include "link/command_stream.h"
#include "link/commands.h"
#include "link/connection.h"
#include "link/control_requests.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {
namespace {

// The packet count travels in 16 bits, so a read announces at most 65,536
// packets.
constexpr int kBlockMax = ZQLUSB_BLOCK_MAX;
static_assert(kBlockMax == 65536 * kPacketSize);

constexpr int RoundedToPackets(int length) {
    return (length + kPacketSize - 1) / kPacketSize * kPacketSize;
}

} // namespace

int ReadData() {
    // Stays 0 when no byte arrives: the link failed or the read delivered nothing.
    std::uint8_t received = 0;
    std::uint32_t returned = 0;
    if (SendReadRequest(READ_BYTE)) {
        ReadTransfer(&received, 1, &returned);
    }
    return received;
}

void ReadDataBlock(unsigned char *Data, int Length) {
    if (!UsableBlock(Data, Length) || Length > kBlockMax) {
        return;
    }
    const int rounded = RoundedToPackets(Length);
    const std::uint16_t count = PacketCountFor(static_cast<std::uint32_t>(rounded));
    std::uint32_t returned = 0;
    if (SendReadRequest(READ_BLOCK, static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count))) {
        ReadTransfer(Data, static_cast<std::uint32_t>(rounded), &returned);
    }
}

void WriteBuffer(unsigned char *Data, int Length) {
    if (!UsableBlock(Data, Length)) {
        return;
    }
    FlushBuffer();
    WriteUntilDone(IOCTL_SCOPE_WRITE_RAW, Data, static_cast<DWORD>(Length), static_cast<DWORD>(Length));
}

} // namespace zqlusb
