// Decoding the tagged records of a roll-mode block.
#include "acquisition/roll_decode.h"

#include <cstring>

#include "acquisition/point_copy.h"
#include "link/commands.h"

namespace zqlusb {

namespace {

// Tag bits, tested in this order: bit 6 marks invalid data, then a clear
// bit 7 ends the data.
constexpr std::uint8_t kTagInvalid = 0x40;
constexpr std::uint8_t kTagData = 0x80;

// The first point goes to index 2, behind the count.
constexpr std::int32_t kFirstPointIndex = 2;

// Behind its first byte, a packet holds 21 records of 3 bytes: tag, channel
// A, channel B.
constexpr std::uint32_t kRecordsPerPacket = 21;
constexpr std::uint32_t kRecordSize = 3;
// The packets of the largest block; the fast path looks at no more.
constexpr std::uint32_t kBlockPackets = 64;
constexpr std::uint32_t kPointSize = 2;

// Per byte of a packet: the tag bits that tell a data tag (0xC0 at the tag
// positions 1, 4, ..., 61, 0 elsewhere), and their value in a data tag.
struct TagPattern {
    std::uint8_t mask[kPacketSize];
    std::uint8_t data[kPacketSize];
};
constexpr TagPattern MakeTagPattern() {
    TagPattern pattern{};
    for (std::uint32_t k = 0; k < kRecordsPerPacket; ++k) {
        pattern.mask[1 + kRecordSize * k] = kTagInvalid | kTagData;
        pattern.data[1 + kRecordSize * k] = kTagData;
    }
    return pattern;
}
constexpr TagPattern kTagPattern = MakeTagPattern();

// Whether all the tags of a packet are data tags, tested eight bytes at a
// time.
bool AllDataTags(const std::uint8_t *packet) {
    using Word = std::uint64_t;
    Word differ = 0;
#pragma GCC unroll 8
    for (std::uint32_t at = 0; at < kPacketSize; at += sizeof(Word)) {
        Word bytes, mask, data;
        std::memcpy(&bytes, packet + at, sizeof bytes);
        std::memcpy(&mask, kTagPattern.mask + at, sizeof mask);
        std::memcpy(&data, kTagPattern.data + at, sizeof data);
        differ |= (bytes & mask) ^ data;
    }
    return differ == 0;
}

// The whole packets at the start of the delivered bytes whose tags are all
// data tags: decoding takes all their records and goes on behind them.
std::uint32_t LeadingDataPackets(const std::uint8_t *block, std::uint32_t delivered) {
    std::uint32_t packets = 0;
    const std::uint32_t whole = delivered / kPacketSize;
    while (packets < whole && packets < kBlockPackets && AllDataTags(block + packets * kPacketSize)) {
        ++packets;
    }
    return packets;
}

// Decodes such packets in two passes: their points side by side first, one
// two-byte move per record at offsets the unrolled loop fixes, then spread
// over the channels by the contiguous point copy.
void DecodeDataPackets(const std::uint8_t *block, std::uint32_t packets, OutPutData &record) {
    std::uint8_t points[kBlockPackets * kRecordsPerPacket * kPointSize];
    for (std::uint32_t p = 0; p < packets; ++p) {
        const std::uint8_t *from = block + p * kPacketSize + 2; // the first record's point
        std::uint8_t *to = points + p * kRecordsPerPacket * kPointSize;
#pragma GCC unroll 21
        for (std::uint32_t k = 0; k < kRecordsPerPacket; ++k) {
            std::memcpy(to + kPointSize * k, from + kRecordSize * k, kPointSize);
        }
    }
    const auto count = static_cast<std::int32_t>(packets * kRecordsPerPacket);
    PlacePoints(points, record, kFirstPointIndex, kFirstPointIndex + count, 1);
}

} // namespace

void DecodeRollBlock(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record) {
    const std::uint32_t packets = LeadingDataPackets(block, delivered);
    DecodeDataPackets(block, packets, record);
    std::int32_t DataCount = kFirstPointIndex + static_cast<std::int32_t>(packets * kRecordsPerPacket);
    std::uint8_t InvalidData = 0;
    std::uint32_t r = packets * kPacketSize;
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
