// USBRetrieveRollModeData: one 4,096-byte block of the roll-mode stream,
// decoded from its tagged 3-byte records into a counted list of points.
#include <cstdint>

#include "acquisition/scope_buffer.h"
#include "link/command_stream.h"
#include "link/commands.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {

namespace {

// The block that READ_ROLL asks for: 64 packets (packet count 0x00 0x3F).
constexpr std::uint32_t kRollBlockSize = 4096;
constexpr std::uint8_t kRollPacketsHigh = 0x00;
constexpr std::uint8_t kRollPacketsLow = 0x3F;

// Tag bits, tested in this order: bit 6 marks invalid data, then a clear
// bit 7 ends the data.
constexpr std::uint8_t kTagInvalid = 0x40;
constexpr std::uint8_t kTagData = 0x80;

// The first point goes to index 2, behind the count.
constexpr std::int32_t kFirstPointIndex = 2;

// The bytes that decoding may use: what the read transfer reported, never
// more than the block; a failed transfer (or none) counts as nothing.
std::uint32_t DecodableLength() {
    if (!SendReadRequest(READ_ROLL, kRollPacketsHigh, kRollPacketsLow)) {
        return 0;
    }
    std::uint32_t ReturnedLength = 0;
    if (!ReadTransfer(ScopeBuffer, kRollBlockSize, &ReturnedLength)) {
        return 0;
    }
    return ReturnedLength < kRollBlockSize ? ReturnedLength : kRollBlockSize;
}

} // namespace

void RetrieveRollModeData(OutPutData *OutBuffer) {
    if (OutBuffer == nullptr) {
        return;
    }
    const std::uint32_t delivered = DecodableLength();
    std::int32_t DataCount = kFirstPointIndex;
    std::uint8_t InvalidData = 0;
    std::uint32_t r = 0;
    while (r < delivered) {
        const std::uint8_t DataFromScope = ScopeBuffer[r];
        r += 1;
        if ((r - 1) % kPacketSize == 0) {
            continue; // the packet-start byte is not interpreted
        }
        if (DataFromScope & kTagInvalid) {
            InvalidData = 1;
            break;
        }
        if (!(DataFromScope & kTagData)) {
            break;
        }
        if (r + 2 > delivered) {
            break; // a record cut off by the end of the delivered bytes is dropped
        }
        OutBuffer->TempBufferA[DataCount] = ScopeBuffer[r];
        OutBuffer->TempBufferB[DataCount] = ScopeBuffer[r + 1];
        r += 2;
        DataCount += 1;
    }
    const std::int32_t n = DataCount - kFirstPointIndex;
    OutBuffer->TempBufferA[0] = static_cast<unsigned char>(n & 0xFF);
    OutBuffer->TempBufferA[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
    OutBuffer->TempBufferB[0] = InvalidData;
}

} // namespace zqlusb
