// The instrument's acquisition memory, fed by the signal model, and its
// answers to the three acquisition read requests: READ_BLOCK (the capture),
// READ_ROLL (the roll-mode stream) and READ_PRETRIGGER (the pre-trigger
// memory). Deterministic: what it answers depends on its fields alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "virtual_instrument/signal_model.h"
#include "zqlusb.h"

namespace vi {

using Bytes = std::vector<std::uint8_t>;

struct AcquisitionMemory {
    // The two channels; a plot of a capture shows a sine over a square.
    Generator channelA{Shape::Sine, 500, 100, 128, 0};
    Generator channelB{Shape::Square, 128, 60, 128, 0};

    // READ_BLOCK: (packet count + 1) x 64 bytes of points from the capture
    // start on, channel A byte first. The instrument free-runs as an
    // untriggered scope does: each READ_BLOCK after the first captures anew,
    // its record starting where the last one ended plus captureGap points of
    // dead time, so that successive records show other phases of a periodic
    // signal. captureGap 0 with freeRunning off answers the same record
    // every time.
    static constexpr std::int64_t kDefaultCaptureGap = 1237; // a prime: a multiple of few periods
    std::int64_t captureStart = 0;
    bool freeRunning = true;
    std::int64_t captureGap = kDefaultCaptureGap;
    bool captured = false; // a record was answered: the next READ_BLOCK captures anew
    std::int64_t lastRecordPoints = 0;

    // READ_ROLL: each block continues the stream. A block is whole 64-byte
    // packets; byte 0 of each is a packet sequence number (any value, tags
    // included, so that the library must skip it), then 21 records of tag,
    // channel A, channel B. Data tags are 0x80 to 0xBF, their low bits
    // varying (each block starts 0x80, 0x9F, 0xBF). A block of fewer than
    // kRollMaxPoints points is closed by rollEndTag, and the rest of its last
    // packet is filled with data records that the library must not look at.
    // The block is as long as its packets, which may be fewer than 64.
    static constexpr int kRollRecordsPerPacket = 21;
    static constexpr int kRollMaxPoints = ZQLUSB_ROLL_MAX_POINTS;
    static_assert(kRollMaxPoints == 64 * kRollRecordsPerPacket, "64 packets of records");
    static constexpr int kRollDefaultPoints = 300;
    std::int64_t rollPosition = 0;          // signal position of the next roll point
    std::uint8_t rollPacketSequence = 0;    // byte 0 of the next packet; counts up by one per packet
    std::optional<int> rollNextBlockPoints; // points of the next block only (0 to 1,344); else the default
    std::uint8_t rollEndTag = 0x00;         // closes a short block: end of data (0x00-0x3F) or invalid (bit 6)
    int rollInvalidBlocks = 0;              // the next N short blocks close with the invalid tag instead

    // READ_PRETRIGGER: 65,536 bytes: 1,536 bytes of the lead word, repeated
    // high byte first, then the 32,000 points before the capture start.
    static constexpr std::uint32_t kPreTriggerLead = 1536;
    static constexpr std::uint32_t kPreTriggerPoints = ZQLUSB_PRETRIGGER_POINTS;
    std::uint32_t preTriggerLeadWord = 0xDEADBEEF;

    // The two channels' samples at a signal position.
    Point At(std::int64_t position) const;
    // Point k of the capture, of the pre-trigger memory.
    Point CapturePoint(std::int64_t k) const { return At(captureStart + k); }
    Point PreTriggerPoint(std::int64_t j) const { return At(captureStart - kPreTriggerPoints + j); }
    // `count` points from a signal position on, two bytes each, channel A first.
    Bytes Points(std::int64_t first, std::size_t count) const;

    // The answer to an acquisition read request (READ_BLOCK, READ_ROLL or
    // READ_PRETRIGGER). Parameters that the sub-code does not allow add a
    // protocol error and get an empty answer.
    Bytes Answer(std::uint8_t subcode, std::uint8_t p1, std::uint8_t p2, std::vector<std::string> &protocolErrors);

  private:
    Bytes RollBlock();
    Bytes PreTriggerMemory() const;
};

} // namespace vi
