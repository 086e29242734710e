// USBRetrieveRollModeData: decoding the tagged records of one roll-mode
// block, bounded by the delivered bytes, with the count and invalid flag at
// the head of the record.
#include "acquisition/record.h"

namespace testbed {
namespace {

using RollModeTest = DeviceTest;

// The record after a roll-mode retrieval of the stream points from `first`
// on: count, invalid flag and points; TempBufferB byte 1 and indices from
// n + 2 on as before.
Bytes Expected(Bytes before, std::size_t n, std::uint8_t invalid, std::int64_t first) {
    before[0] = static_cast<std::uint8_t>(n & 0xFF);
    before[1] = static_cast<std::uint8_t>(n >> 8);
    before[kPoints] = invalid;
    for (std::size_t k = 0; k < n; ++k) {
        Put(before, 2 + k, vi::Device().acquisition.At(first + static_cast<std::int64_t>(k)));
    }
    return before;
}

// Fills the library's receive buffer with data tags (0x80, 0x81 in turn),
// so that decoding past the delivered bytes would find points.
void FillReceiveBufferWithDataTags() {
    vi::AcquisitionMemory &memory = vi::Device().acquisition;
    const vi::AcquisitionMemory saved = memory;
    memory.channelA = {vi::Shape::Dc, 1, 0, 0x80, 0};
    memory.channelB = {vi::Shape::Dc, 1, 0, 0x81, 0};
    Record scratch;
    scratch.Header(32768, 0, 1);
    USBRetrieveScopeData(scratch.data.get());
    memory = saved;
}

TEST_F(RollModeTest, TheByteAtEachPacketStartIsSkippedWhateverItsValue) {
    for (int start : {0x00, 0x3F, 0x40, 0x7F, 0x80, 0xC5, 0xFF}) {
        SCOPED_TRACE(testing::Message() << "first packet starts with " << start);
        Restart();
        Open();
        Device().acquisition.rollPacketSequence = static_cast<std::uint8_t>(start);
        Device().acquisition.rollNextBlockPoints = 50; // 3 packets
        Record record;
        const Bytes before = record.All();
        USBRetrieveRollModeData(record.data.get());
        EXPECT_BYTES(record.All(), Expected(before, 50, 0, 0));
        ASSERT_EQ(Streams().size(), 1u);
        EXPECT_BYTES(Streams()[0], (Bytes{0x03, 0x0A, 0x00, 0x3F}));
        EXPECT_EQ(Device().TransfersOf(IOCTL_SCOPE_READ)[0].inLength, 4096u);
    }
}

TEST_F(RollModeTest, InvalidTagsAreTestedBeforeEndTags) {
    const struct {
        int points;
        std::uint8_t tag;
        std::uint8_t invalid;
    } cases[] = {
        {0, 0x00, 0}, {0, 0x40, 1}, {0, 0xC5, 1}, {3, 0x7F, 1}, {3, 0x3F, 0}, {21, 0xFF, 1}, {200, 0x12, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.points << " points, then tag " << int{c.tag});
        Restart();
        Open();
        Device().acquisition.rollNextBlockPoints = c.points;
        Device().acquisition.rollEndTag = c.tag;
        Record record;
        const Bytes before = record.All();
        USBRetrieveRollModeData(record.data.get());
        EXPECT_BYTES(record.All(), Expected(before, c.points, c.invalid, 0));
    }
    // The data tags of that last block began 0x80, 0x9F, 0xBF.
    const Bytes block = Reads().back();
    EXPECT_BYTES((Bytes{block[1], block[4], block[7]}), (Bytes{0x80, 0x9F, 0xBF}));
}

TEST_F(RollModeTest, DecodingStopsAtTheDeliveredBytesAndNeverBeyond4096) {
    const struct {
        const char *context;
        std::optional<std::uint32_t> deliver;
        std::uint32_t overstate;
        int failedReads;
        std::size_t points;
    } cases[] = {
        {"full block: count bytes 0x40 0x05", std::nullopt, 0, 0, 1344},
        {"one packet of 21 records", 64, 0, 0, 21},
        {"last record's tag delivered, samples not", 62, 0, 0, 20},
        {"last record's channel B missing", 63, 0, 0, 20},
        {"only the first tag", 2, 0, 0, 0},
        {"nothing", 0, 0, 0, 0},
        {"a driver that claims 100,000 bytes more", std::nullopt, 100000, 0, 1344},
        {"a failed read that reports 4,096 bytes", std::nullopt, 0, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.context);
        Restart();
        Open();
        FillReceiveBufferWithDataTags();
        Device().acquisition.rollNextBlockPoints = vi::AcquisitionMemory::kRollMaxPoints;
        Device().faults.deliverAtMost = c.deliver;
        Device().faults.overstateCount = c.overstate;
        Device().faults.failReads = c.failedReads;
        Device().faults.failedReadCount = 4096;
        Record record;
        const Bytes before = record.All();
        USBRetrieveRollModeData(record.data.get());
        EXPECT_BYTES(record.All(), Expected(before, c.points, 0, 0));
    }
}

TEST_F(RollModeTest, WritesOnlyTheCountTheFlagAndThePoints) {
    Open();
    auto written = WrittenPositions(sizeof(OutPutData), [this](std::uint8_t *area) {
        Device().acquisition.rollNextBlockPoints = 50;
        USBRetrieveRollModeData(reinterpret_cast<OutPutData *>(area));
    });
    std::vector<std::size_t> expected = {0, 1};
    for (std::size_t i = 2; i < 52; ++i) {
        expected.push_back(i);
    }
    expected.push_back(kPoints);
    for (std::size_t i = kPoints + 2; i < kPoints + 52; ++i) {
        expected.push_back(i);
    }
    EXPECT_EQ(Marked(written), expected);
}

TEST_F(RollModeTest, WithoutAReadTheRecordIsEmpty) {
    Open();
    Record earlier;
    USBRetrieveRollModeData(earlier.data.get()); // fills the receive buffer
    Device().faults.failWrites = 2;
    Device().transfers.clear();
    auto written = WrittenPositions(sizeof(OutPutData), [](std::uint8_t *area) {
        USBRetrieveRollModeData(reinterpret_cast<OutPutData *>(area));
        EXPECT_EQ(area[0] | area[1] | area[kPoints], 0);
    });
    EXPECT_EQ(Marked(written), (std::vector<std::size_t>{0, 1, kPoints}));
    EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{IOCTL_SCOPE_WRITE_STREAM, IOCTL_SCOPE_WRITE_STREAM}));
}

TEST_F(RollModeTest, ConsecutiveBlocksContinueTheStream) {
    Open();
    Record record;
    for (std::int64_t first : {0, 300, 600}) {
        const Bytes before = record.All();
        USBRetrieveRollModeData(record.data.get());
        EXPECT_BYTES(record.All(), Expected(before, vi::AcquisitionMemory::kRollDefaultPoints, 0, first));
    }
}

} // namespace
} // namespace testbed
