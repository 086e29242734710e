// The pcapng blocks of a trace (see format.h): the section header and the
// interface description that start every file, and the enhanced packet block
// that carries one record. Little-endian throughout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trace/format.h"

namespace zqltrace {

inline void PutU16(std::uint8_t *at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}
inline void PutU32(std::uint8_t *at, std::uint32_t value) {
    PutU16(at, value);
    PutU16(at + 2, value >> 16);
}
inline void PutU64(std::uint8_t *at, std::uint64_t value) {
    PutU32(at, static_cast<std::uint32_t>(value));
    PutU32(at + 4, static_cast<std::uint32_t>(value >> 32));
}

// The enhanced packet block's fixed part: type, length, interface,
// timestamp (two words), captured and original length.
constexpr std::size_t kEpbHeader = 28;
constexpr std::size_t kEpbTrailer = 4; // the block length again
// Where the record starts in the block: after the exported-PDU tags.
constexpr std::size_t kRecordStart = kEpbHeader + kTagBytes;

// The exported-PDU tags that name the dissector: protocol name (tag 12)
// "zqlusb", unpadded, then the end of tags.
inline constexpr std::uint8_t kPduTags[kTagBytes] = {0, 12, 0, 6, 'z', 'q', 'l', 'u', 's', 'b', 0, 0, 0, 0};

// Room for the section header and the interface description.
constexpr std::size_t kFileHeadMax = 128;

// Writes the section header block and the interface description block into
// `head`; returns their length.
std::size_t FileHead(std::uint8_t *head);

// Completes an enhanced packet block whose header room and packet data are
// the first `length` bytes of `block`: fills in the header for `time`
// (nanoseconds since 1970), pads the data to a multiple of 4 and appends the
// trailer (room for 7 more bytes must be there). Returns the block's length.
std::size_t FinishEnhancedPacket(std::uint8_t *block, std::size_t length, std::uint64_t time);

} // namespace zqltrace
