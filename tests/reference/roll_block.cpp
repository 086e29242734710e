#include "tests/reference/roll_block.h"

namespace reference {

Tag ClassifyTag(std::uint8_t tag) {
    if ((tag & 0x40) != 0) {
        return Tag::Invalid;
    }
    return (tag & 0x80) != 0 ? Tag::Data : Tag::End;
}

namespace {

// How a block ends: at an end or invalid tag, or at the end of the bytes.
struct Decoded {
    std::uint32_t points = 0;
    bool invalid = false;
};

// Stores the points of the block's data records and says where they ended.
Decoded StorePoints(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record) {
    Decoded out;
    for (std::uint32_t packet = 0; packet < kRollBlockPackets; ++packet) {
        for (std::uint32_t k = 0; k < kRecordsPerPacket; ++k) {
            const std::uint32_t tag = TagOffset(packet, k);
            if (tag >= delivered) {
                return out;
            }
            const Tag kind = ClassifyTag(block[tag]);
            if (kind != Tag::Data) {
                out.invalid = kind == Tag::Invalid;
                return out;
            }
            if (tag + kRecordSize > delivered) {
                return out;
            }
            record.TempBufferA[kFirstRollIndex + out.points] = block[tag + 1];
            record.TempBufferB[kFirstRollIndex + out.points] = block[tag + 2];
            ++out.points;
        }
    }
    return out;
}

} // namespace

void RetrieveRollBlock(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record) {
    const Decoded decoded = StorePoints(block, delivered, record);
    record.TempBufferA[0] = static_cast<std::uint8_t>(decoded.points & 0xFF);
    record.TempBufferA[1] = static_cast<std::uint8_t>(decoded.points >> 8);
    record.TempBufferB[0] = decoded.invalid ? 1 : 0;
}

} // namespace reference
