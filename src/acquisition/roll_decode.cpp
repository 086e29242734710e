// Decoding the tagged records of a roll-mode block.
#include "acquisition/roll_decode.h"

#include "link/commands.h"

namespace zqlusb {

namespace {

// Tag bits, tested in this order: bit 6 marks invalid data, then a clear
// bit 7 ends the data.
constexpr std::uint8_t kTagInvalid = 0x40;
constexpr std::uint8_t kTagData = 0x80;

// The first point goes to index 2, behind the count.
constexpr std::int32_t kFirstPointIndex = 2;

} // namespace

void DecodeRollBlock(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record) {
    std::int32_t DataCount = kFirstPointIndex;
    std::uint8_t InvalidData = 0;
    std::uint32_t r = 0;
    while (r < delivered) {
        const std::uint8_t DataFromScope = block[r];
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
        record.TempBufferA[DataCount] = block[r];
        record.TempBufferB[DataCount] = block[r + 1];
        r += 2;
        DataCount += 1;
    }
    const std::int32_t n = DataCount - kFirstPointIndex;
    record.TempBufferA[0] = static_cast<unsigned char>(n & 0xFF);
    record.TempBufferA[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
    record.TempBufferB[0] = InvalidData;
}

} // namespace zqlusb
