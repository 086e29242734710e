// A fuzz session's calls of the acquisition exports: scope, roll-mode and
// pre-trigger records checked byte for byte against the reference model,
// and the roll-mode reply through each decode path by name.
#include <algorithm>
#include <cstring>
#include <memory>

#include "acquisition/roll_decode.h"
#include "fuzz/session_steps.h"
#include "tests/reference/placement.h"
#include "tests/reference/roll_block.h"

// The library's decode of a roll-mode block by a path of its choosing
// (src/acquisition/roll_decode.cpp, fuzz builds only): 1 when it has the path.
extern "C" int ZqlusbFuzzDecodeRollBlock(int path, const std::uint8_t *block, std::uint32_t delivered,
                                         OutPutData *record);

namespace fuzz {

std::unique_ptr<OutPutData> Session::Record() {
    auto record = std::make_unique<OutPutData>();
    std::memset(record.get(), in.ConsumeIntegral<std::uint8_t>(), sizeof *record);
    for (int i = 0; i < 6; ++i) {
        record->TempBufferA[i] = in.ConsumeIntegral<std::uint8_t>();
    }
    return record;
}

bool Session::NullRecord() {
    const bool null = in.ConsumeIntegralInRange(0, 15) == 0;
    CountBad(null);
    return null;
}

void Session::Receive(std::uint32_t length) {
    const Bytes got = oracle.Read(length);
    std::copy(got.begin(), got.end(), oracle.receive);
}

void Session::Scope() {
    if (NullRecord()) {
        return (void)USBRetrieveScopeData(nullptr);
    }
    auto record = Record();
    OutPutData expected = *record;
    USBRetrieveScopeData(record.get());
    const unsigned char *h = expected.TempBufferA;
    const int count = h[0] | h[1] << 8, offset = h[2] | h[3] << 8, step = h[4] | h[5] << 8;
    if ((count > 0 && step == 0) || offset + count > kRecordPoints) {
        CountBad(true);
        return Same(*record, expected, "refused scope request");
    }
    const reference::ScopeSpan span = {static_cast<std::uint16_t>(count), static_cast<std::uint16_t>(offset),
                                       static_cast<std::uint16_t>(step)};
    const int packets = reference::ScopeRequestPackets(span.count);
    if (oracle.ReadRequest({0x03, 0x09, (packets >> 8) & 0xFF, packets & 0xFF})) {
        Receive(static_cast<std::uint32_t>(reference::ScopeRequestBytes(span.count)));
    }
    reference::PlaceScopeSpan(oracle.receive, span, expected);
    Same(*record, expected, "scope record");
}

void Session::Roll() {
    if (NullRecord()) {
        return (void)USBRetrieveRollModeData(nullptr);
    }
    auto record = Record();
    OutPutData expected = *record;
    const auto before = std::make_unique<OutPutData>(*record);
    USBRetrieveRollModeData(record.get());
    // A failed read counts as nothing delivered; a count beyond the block
    // as the whole block.
    std::uint32_t usable = 0;
    if (oracle.ReadRequest({0x03, 0x0A, 0x00, 0x3F})) {
        bool ok = false;
        std::uint32_t reported = 0;
        const Bytes got = oracle.Read(reference::kRollBlockSize, &ok, &reported);
        std::copy(got.begin(), got.end(), oracle.receive);
        usable = ok ? std::min(reported, reference::kRollBlockSize) : 0;
    }
    reference::RetrieveRollBlock(oracle.receive, usable, expected);
    Same(*record, expected, "roll-mode record");
    // The same reply through each decode path by name, whichever the call took.
    for (zqlusb::RollDecodePath path : {zqlusb::RollDecodePath::Portable, zqlusb::RollDecodePath::Shuffle}) {
        auto decoded = std::make_unique<OutPutData>(*before);
        if (ZqlusbFuzzDecodeRollBlock(static_cast<int>(path), oracle.receive, usable, decoded.get()) != 0) {
            Same(*decoded, expected,
                 path == zqlusb::RollDecodePath::Portable ? "roll decode, portable path" : "roll decode, shuffle path");
        }
    }
}

void Session::PreTrigger() {
    if (NullRecord()) {
        return (void)USBRetrievePreTriggerData(nullptr);
    }
    auto record = Record();
    OutPutData expected = *record;
    USBRetrievePreTriggerData(record.get());
    if (oracle.ReadRequest({0x03, 0x0B, 0x03, 0xFF})) {
        Receive(reference::kPreTriggerReplySize);
    }
    reference::PlacePreTrigger(oracle.receive, expected);
    Same(*record, expected, "pre-trigger record");
}

} // namespace fuzz
