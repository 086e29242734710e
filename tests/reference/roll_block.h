// The roll-mode block as the instrument sends it, and what one retrieval of
// it leaves in the caller's record. Written from the block's own rules
// (packets, records, tags) and the public header, apart from the library's
// decoder, so that the harnesses can hold the library against it.
#pragma once

#include <cstdint>

#include "zqlusb.h"

namespace reference {

// The instrument sends in packets of 64 bytes; READ_ROLL asks for 64 of them.
constexpr std::uint32_t kPacketSize = 64;
constexpr std::uint32_t kRollBlockPackets = 64;
constexpr std::uint32_t kRollBlockSize = kRollBlockPackets * kPacketSize;
// Behind its first byte (never interpreted) a packet holds 21 records of
// three bytes: tag, channel A sample, channel B sample.
constexpr std::uint32_t kRecordsPerPacket = 21;
constexpr std::uint32_t kRecordSize = 3;
static_assert(1 + kRecordsPerPacket * kRecordSize == kPacketSize, "no record crosses into the next packet");
static_assert(kRollBlockPackets * kRecordsPerPacket == ZQLUSB_ROLL_MAX_POINTS, "a full block of data records");
// The points start behind the count, which takes TempBufferA bytes 0-1.
constexpr std::uint32_t kFirstRollIndex = 2;

// What a tag says. Bit 6 set marks invalid data (whatever bit 7 says); else
// bit 7 set marks a data record; else the data ends.
enum class Tag { Data, End, Invalid };
Tag ClassifyTag(std::uint8_t tag);

// Offset in the block of the tag of record `record` of packet `packet`.
constexpr std::uint32_t TagOffset(std::uint32_t packet, std::uint32_t record) {
    return packet * kPacketSize + 1 + kRecordSize * record;
}

// The record after a retrieval whose read delivered the first `delivered`
// bytes of `block` (at most kRollBlockSize): the points of the data records
// up to the first record whose tag is not data, in stream order at indices 2
// on; their count at TempBufferA bytes 0-1, little-endian; at TempBufferB
// byte 0, 1 if the records ended at an invalid tag, else 0. A data record
// that the delivered bytes cut off is no point; a delivered tag still
// counts. Nothing else of the record changes.
void RetrieveRollBlock(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record);

} // namespace reference
