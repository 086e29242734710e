// Where the points of a reply land in the caller's record: the scope
// record's span (USBRetrieveScopeData) and the pre-trigger memory
// (USBRetrievePreTriggerData). A point is two received bytes, channel A
// first; point k of a reply is bytes 2k and 2k + 1 from where its points
// start. Written from the instrument's rules and the public header, apart
// from the library's copies.
#pragma once

#include <cstdint>

#include "zqlusb.h"

namespace reference {

// The request header in TempBufferA bytes 0-5, each value 16 bits.
struct ScopeSpan {
    std::uint16_t count;  // DataCount: the span of output indices to cover
    std::uint16_t offset; // DataOffset: the output index of the first point
    std::uint16_t step;   // Step: the distance between consecutive points
};

// Bytes the request asks for: two per unit of DataCount, in whole packets of
// 64; and the packet count the request carries (-1 for a count of 0).
std::int32_t ScopeRequestBytes(std::uint16_t count);
std::int32_t ScopeRequestPackets(std::uint16_t count);

// Point k of `received` at index offset + k * step of both channels, for
// every such index below offset + count; nothing else changes. The span is
// one the library accepts: step at least 1 when count is, and offset +
// count at most ZQLUSB_CHANNEL_POINTS.
void PlaceScopeSpan(const std::uint8_t *received, ScopeSpan span, OutPutData &record);

// The pre-trigger reply: 65,536 bytes whose first 24 packets hold no points.
constexpr std::uint32_t kPreTriggerReplySize = 65536;
constexpr std::uint32_t kPreTriggerLead = 24 * 64;
static_assert(kPreTriggerLead + 2 * ZQLUSB_PRETRIGGER_POINTS == kPreTriggerReplySize,
              "the points fill the reply behind its lead");

// Point j of the reply's points at index j of both channels, for j below
// ZQLUSB_PRETRIGGER_POINTS; nothing else changes.
void PlacePreTrigger(const std::uint8_t *reply, OutPutData &record);

} // namespace reference
