#include "tests/reference/placement.h"

namespace reference {

namespace {
constexpr std::int32_t kPacket = 64; // the instrument answers in whole packets
} // namespace

std::int32_t ScopeRequestBytes(std::uint16_t count) {
    const std::int32_t bytes = 2 * std::int32_t{count};
    return (bytes + kPacket - 1) / kPacket * kPacket;
}

std::int32_t ScopeRequestPackets(std::uint16_t count) {
    return ScopeRequestBytes(count) / kPacket - 1;
}

void PlaceScopeSpan(const std::uint8_t *received, ScopeSpan span, OutPutData &record) {
    const std::int32_t end = std::int32_t{span.offset} + span.count;
    std::int32_t k = 0;
    for (std::int32_t index = span.offset; index < end; index += span.step, ++k) {
        record.TempBufferA[index] = received[2 * k];
        record.TempBufferB[index] = received[2 * k + 1];
    }
}

void PlacePreTrigger(const std::uint8_t *reply, OutPutData &record) {
    const std::uint8_t *points = reply + kPreTriggerLead;
    for (std::int32_t j = 0; j < ZQLUSB_PRETRIGGER_POINTS; ++j) {
        record.TempBufferA[j] = points[2 * j];
        record.TempBufferB[j] = points[2 * j + 1];
    }
}

} // namespace reference
