// USBRetrieveScopeData: a captured record, requested with READ_BLOCK for the
// span that the caller's header states and spread over the two channels.
#include <cstdint>

#include "acquisition/operations.h"
#include "acquisition/point_copy.h"
#include "acquisition/scope_buffer.h"
#include "link/command_stream.h"
#include "link/commands.h"
#include "zqlusb.h"

namespace zqlusb {

namespace {

// The request header in bytes 0-5 of TempBufferA, each value zero-extended
// from its unsigned 16 bits, little-endian.
struct RecordRequest {
    std::int32_t DataCount;  // span of output indices to cover
    std::int32_t DataOffset; // output index of the first point
    std::int32_t Step;       // distance between consecutive points
};

std::int32_t HeaderValue(const unsigned char *at) {
    return static_cast<std::int32_t>(at[0] | (at[1] << 8));
}

RecordRequest ReadHeader(const OutPutData &record) {
    return {HeaderValue(record.TempBufferA), HeaderValue(record.TempBufferA + 2), HeaderValue(record.TempBufferA + 4)};
}

// The limits that keep the copy finite, inside the record and within
// ScopeBuffer; a request outside them is refused before anything is sent.
bool WithinLimits(const RecordRequest &request) {
    if (request.DataCount >= 1 && request.Step < 1) {
        return false;
    }
    return request.DataOffset + request.DataCount <= kRecordPoints;
}

} // namespace

void RetrieveScopeData(OutPutData *OutBuffer) {
    if (OutBuffer == nullptr) {
        return;
    }
    const RecordRequest request = ReadHeader(*OutBuffer);
    if (!WithinLimits(request)) {
        return;
    }
    // Two bytes per unit of DataCount, in whole packets; a count of 0
    // announces packet count -1 (0xFF 0xFF) and reads nothing.
    std::int32_t FlowCount = 2 * request.DataCount;
    if (FlowCount % kPacketSize != 0) {
        FlowCount += kPacketSize - FlowCount % kPacketSize;
    }
    const std::int32_t PacketCount = FlowCount / kPacketSize - 1;
    if (SendReadRequest(READ_BLOCK, static_cast<std::uint8_t>((PacketCount >> 8) & 0xFF),
                        static_cast<std::uint8_t>(PacketCount & 0xFF))) {
        std::uint32_t ReturnedLength = 0;
        ReadTransfer(ScopeBuffer, static_cast<std::uint32_t>(FlowCount), &ReturnedLength);
    }
    // Point k from received bytes 2k and 2k + 1 to index DataOffset + k * Step.
    PlacePoints(ScopeBuffer, *OutBuffer, request.DataOffset, request.DataOffset + request.DataCount, request.Step);
}

} // namespace zqlusb
