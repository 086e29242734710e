// USBRetrievePreTriggerData: the instrument's pre-trigger memory, one fixed
// read of 65,536 bytes whose points from offset 1,536 on fill the start of
// both channels.
#include <cstdint>

#include "acquisition/operations.h"
#include "acquisition/point_copy.h"
#include "acquisition/scope_buffer.h"
#include "link/command_stream.h"
#include "link/commands.h"
#include "zqlusb.h"

namespace zqlusb {

namespace {

// 1,024 packets (packet count 0x03 0xFF): the whole of ScopeBuffer.
constexpr std::uint8_t kPreTriggerPacketsHigh = 0x03;
constexpr std::uint8_t kPreTriggerPacketsLow = 0xFF;
// The reply's first 24 packets hold no points.
constexpr std::uint32_t kPreTriggerLead = 1536;
// Points that the reply holds: (65,536 - 1,536) / 2. The copy stops there,
// so nothing is read past the reply; indices from 32,000 on keep their
// content.
constexpr std::int32_t kPreTriggerPoints = static_cast<std::int32_t>((kScopeBufferSize - kPreTriggerLead) / 2);
static_assert(kPreTriggerPoints == ZQLUSB_PRETRIGGER_POINTS, "the header's pre-trigger point count");

} // namespace

void RetrievePreTriggerData(OutPutData *OutBuffer) {
    if (OutBuffer == nullptr) {
        return;
    }
    if (SendReadRequest(READ_PRETRIGGER, kPreTriggerPacketsHigh, kPreTriggerPacketsLow)) {
        std::uint32_t ReturnedLength = 0;
        ReadTransfer(ScopeBuffer, kScopeBufferSize, &ReturnedLength);
    }
    PlacePoints(ScopeBuffer + kPreTriggerLead, *OutBuffer, 0, kPreTriggerPoints, 1);
}

} // namespace zqlusb
