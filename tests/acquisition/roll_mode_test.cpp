// USBRetrieveRollModeData: decoding the tagged records of one roll-mode
// block, bounded by the delivered bytes, with the count and invalid flag at
// the head of the record.
#include "acquisition/record.h"
#include "tests/reference/roll_block.h"

namespace testbed {
namespace {

using RollModeTest = DeviceTest;

// The record after a retrieval of n stream points from `first` on: count,
// invalid flag and points; TempBufferB byte 1 and indices from n + 2 on as
// before.
Bytes Expected(Bytes before, std::size_t n, std::uint8_t invalid, std::int64_t first = 0) {
    before[0] = static_cast<std::uint8_t>(n & 0xFF);
    before[1] = static_cast<std::uint8_t>(n >> 8);
    before[kPoints] = invalid;
    for (std::size_t k = 0; k < n; ++k) {
        Put(before, reference::kFirstRollIndex + k, vi::Device().acquisition.At(first + static_cast<std::int64_t>(k)));
    }
    return before;
}

TEST_F(RollModeTest, SkipsPacketStartsAndTestsBit6BeforeBit7) {
    constexpr int kFull = ZQLUSB_ROLL_MAX_POINTS;
    const struct {
        int packetStart; // byte 0 of the first packet; the next packets count up from it
        int points;
        std::uint8_t tag; // closes the block
        std::uint8_t invalid;
    } cases[] = {
        // The last four: whole packets of data records closed at the last
        // record of a packet, at the first of the next, at the last of the
        // block, and a block of data records only.
        {0x00, 0, 0x00, 0},         {0x00, 0, 0x40, 1},     {0x00, 0, 0xC5, 1},  {0x00, 3, 0x7F, 1},
        {0x00, 3, 0x3F, 0},         {0x3F, 50, 0x00, 0},    {0x7F, 50, 0x00, 0}, {0xC5, 50, 0x00, 0},
        {0xFF, 21, 0xFF, 1},        {0x80, 200, 0x12, 0},   {0x00, 20, 0x00, 0}, {0x00, 42, 0x3F, 0},
        {0x00, kFull - 1, 0xC0, 1}, {0x00, kFull, 0x00, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.points << " points, then tag " << int{c.tag}
                                        << "; first packet starts with " << c.packetStart);
        Restart();
        Open();
        Device().acquisition.rollPacketSequence = static_cast<std::uint8_t>(c.packetStart);
        Device().acquisition.rollNextBlockPoints = c.points;
        Device().acquisition.rollEndTag = c.tag;
        Record record;
        const Bytes before = record.All();
        USBRetrieveRollModeData(record.data.get());
        EXPECT_BYTES(record.All(), Expected(before, c.points, c.invalid));
        ASSERT_EQ(Streams().size(), 1u);
        EXPECT_BYTES(Streams()[0], (Bytes{0x03, 0x0A, 0x00, 0x3F}));
        EXPECT_EQ(Device().TransfersOf(IOCTL_SCOPE_READ)[0].inLength, 4096u);
    }
    const Bytes block = Reads().back(); // data tags vary in their low bits
    EXPECT_BYTES((Bytes{block[1], block[4], block[7]}), (Bytes{0x80, 0x9F, 0xBF}));
}

TEST_F(RollModeTest, DecodesNoMoreThanTheDeliveredBytesAndNeverBeyond4096) {
    const struct {
        const char *context;
        std::optional<std::uint32_t> deliver;
        std::uint32_t overstate;
        int failedReads;
        std::size_t points;
    } cases[] = {
        {"full block: count bytes 0x40 0x05", std::nullopt, 0, 0, ZQLUSB_ROLL_MAX_POINTS},
        {"one packet of 21 records", 64, 0, 0, 21},
        {"last record cut after its channel A", 63, 0, 0, 20},
        {"last record cut after its tag", 62, 0, 0, 20},
        {"only the first tag", 2, 0, 0, 0},
        {"nothing", 0, 0, 0, 0},
        {"a driver that claims 100,000 bytes more", std::nullopt, 100000, 0, ZQLUSB_ROLL_MAX_POINTS},
        {"a failed read that reports 4,096 bytes", std::nullopt, 0, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.context);
        Restart();
        Open();
        // Data tags (0x80, 0x81 in turn) in the whole receive buffer, so that
        // decoding past the delivered bytes would find points.
        vi::AcquisitionMemory &memory = Device().acquisition;
        const vi::AcquisitionMemory saved = memory;
        memory.channelA = {vi::Shape::Dc, 1, 0, 0x80, 0};
        memory.channelB = {vi::Shape::Dc, 1, 0, 0x81, 0};
        Record scratch;
        scratch.Header(32768, 0, 1);
        USBRetrieveScopeData(scratch.data.get());
        memory = saved;

        memory.rollNextBlockPoints = ZQLUSB_ROLL_MAX_POINTS;
        Device().faults = {.failReads = c.failedReads,
                           .deliverAtMost = c.deliver,
                           .overstateCount = c.overstate,
                           .failedReadCount = 4096};
        Record record;
        const Bytes before = record.All();
        USBRetrieveRollModeData(record.data.get());
        EXPECT_BYTES(record.All(), Expected(before, c.points, 0));
    }
}

TEST_F(RollModeTest, WithoutAReadTheRecordIsEmptyAndBlocksOtherwiseContinueTheStream) {
    Open();
    Record record;
    USBRetrieveRollModeData(record.data.get()); // fills the receive buffer
    Device().faults.failWrites = 1;
    Device().transfers.clear();
    Bytes before = record.All();
    USBRetrieveRollModeData(record.data.get());
    EXPECT_BYTES(record.All(), Expected(before, 0, 0));
    EXPECT_EQ(Codes(), std::vector<std::uint32_t>{IOCTL_SCOPE_WRITE_STREAM});
    before = record.All();
    USBRetrieveRollModeData(record.data.get());
    EXPECT_BYTES(record.All(), Expected(before, 300, 0, 300));
}

} // namespace
} // namespace testbed
