// USBRetrieveRollModeData: one 4,096-byte block of the roll-mode stream,
// decoded from its tagged 3-byte records into a counted list of points.
#include <cstdint>

#include "acquisition/operations.h"
#include "acquisition/roll_decode.h"
#include "acquisition/scope_buffer.h"
#include "link/command_stream.h"
#include "link/commands.h"
#include "zqlusb.h"

namespace zqlusb {

namespace {

// The block that READ_ROLL asks for: 64 packets (packet count 0x00 0x3F).
constexpr std::uint32_t kRollBlockSize = 4096;
constexpr std::uint8_t kRollPacketsHigh = 0x00;
constexpr std::uint8_t kRollPacketsLow = 0x3F;

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
    DecodeRollBlock(ScopeBuffer, DecodableLength(), *OutBuffer);
}

} // namespace zqlusb
