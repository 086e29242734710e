// The acquisition memory's answers to READ_BLOCK, READ_ROLL and
// READ_PRETRIGGER.
#include "virtual_instrument/acquisition_memory.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "link/commands.h"

namespace vi {

using namespace zqlusb;

namespace {

// The only parameters that READ_ROLL and READ_PRETRIGGER carry.
constexpr std::uint8_t kRollPacketsHigh = 0x00, kRollPacketsLow = 0x3F;
constexpr std::uint8_t kPreTriggerPacketsHigh = 0x03, kPreTriggerPacketsLow = 0xFF;
constexpr std::uint32_t kPreTriggerSize = 65536;

constexpr std::uint8_t kDataTag = 0x80;
constexpr std::uint8_t kInvalidTag = 0x40;
// The low bits of the data tags, in turn from each block's first record on:
// every block starts with the tags 0x80, 0x9F, 0xBF.
constexpr std::uint8_t kTagLowBits[] = {0x00, 0x1F, 0x3F, 0x2A, 0x15, 0x01, 0x3E, 0x20};
// What follows the closing tag in the last packet of a short roll block.
constexpr std::uint8_t kRollFillSample = 0xEE;

std::string ParameterError(const char *request, std::uint8_t p1, std::uint8_t p2) {
    char text[96];
    std::snprintf(text, sizeof text, "%s with parameters 0x%02X 0x%02X", request, p1, p2);
    return text;
}

} // namespace

Point AcquisitionMemory::At(std::int64_t position) const {
    return {channelA.At(position), channelB.At(position)};
}

Bytes AcquisitionMemory::Points(std::int64_t first, std::size_t count) const {
    Bytes out(2 * count);
    for (std::size_t k = 0; k < count; ++k) {
        Point p = At(first + static_cast<std::int64_t>(k));
        out[2 * k] = p.a;
        out[2 * k + 1] = p.b;
    }
    return out;
}

Bytes AcquisitionMemory::RollBlock() {
    const int points = std::clamp(rollNextBlockPoints.value_or(kRollDefaultPoints), 0, kRollMaxPoints);
    rollNextBlockPoints.reset();
    std::uint8_t endTag = rollEndTag;
    if (rollInvalidBlocks > 0) {
        --rollInvalidBlocks;
        endTag = kInvalidTag;
    }
    // The points, then the closing tag unless the block is full.
    const int records = points < kRollMaxPoints ? points + 1 : points;
    const int packets = std::max(1, (records + kRollRecordsPerPacket - 1) / kRollRecordsPerPacket);
    Bytes block;
    block.reserve(static_cast<std::size_t>(packets) * kPacketSize);
    int record = 0;
    for (int packet = 0; packet < packets; ++packet) {
        block.push_back(rollPacketSequence++);
        for (int slot = 0; slot < kRollRecordsPerPacket; ++slot, ++record) {
            if (record < points) {
                const Point p = At(rollPosition);
                block.push_back(static_cast<std::uint8_t>(kDataTag | kTagLowBits[record % std::size(kTagLowBits)]));
                block.push_back(p.a);
                block.push_back(p.b);
                ++rollPosition;
            } else if (record == points) {
                block.insert(block.end(), {endTag, kRollFillSample, kRollFillSample});
            } else {
                block.insert(block.end(), {kDataTag, kRollFillSample, kRollFillSample});
            }
        }
    }
    return block;
}

Bytes AcquisitionMemory::PreTriggerMemory() const {
    Bytes memory;
    memory.reserve(kPreTriggerSize);
    for (std::uint32_t i = 0; i < kPreTriggerLead; ++i) {
        memory.push_back(static_cast<std::uint8_t>(preTriggerLeadWord >> (24 - 8 * (i % 4))));
    }
    Bytes points = Points(captureStart - kPreTriggerPoints, kPreTriggerPoints);
    memory.insert(memory.end(), points.begin(), points.end());
    return memory;
}

Bytes AcquisitionMemory::Answer(std::uint8_t subcode, std::uint8_t p1, std::uint8_t p2,
                                std::vector<std::string> &protocolErrors) {
    switch (subcode) {
    case READ_BLOCK: {
        // Packet count 0xFFFF, as a count of 0 is announced, is 65,536 packets.
        const std::size_t packets = static_cast<std::size_t>((p1 << 8) | p2) + 1;
        if (captured && freeRunning) {
            captureStart += lastRecordPoints + captureGap;
        }
        captured = true;
        lastRecordPoints = static_cast<std::int64_t>(packets * kPacketSize / 2);
        return Points(captureStart, packets * kPacketSize / 2);
    }
    case READ_ROLL:
        if (p1 != kRollPacketsHigh || p2 != kRollPacketsLow) {
            protocolErrors.push_back(ParameterError("READ_ROLL", p1, p2));
            return {};
        }
        return RollBlock();
    case READ_PRETRIGGER:
        if (p1 != kPreTriggerPacketsHigh || p2 != kPreTriggerPacketsLow) {
            protocolErrors.push_back(ParameterError("READ_PRETRIGGER", p1, p2));
            return {};
        }
        return PreTriggerMemory();
    default:
        protocolErrors.push_back("not an acquisition read request");
        return {};
    }
}

} // namespace vi
