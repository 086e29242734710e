// Collecting commands in the stream and flushing them in single transfers.
#include "support/fixture.h"

namespace testbed {
namespace {

using CommandStreamTest = DeviceTest;

TEST_F(CommandStreamTest, WritesAreCollectedUntilFlushedInOneTransfer) {
    Open();
    USBWriteAddress(0x12);
    USBWriteData(0x34);
    USBWriteAddress(0xFE);
    USBWriteData(0x00);
    EXPECT_TRUE(Device().transfers.empty());
    USBFlushBuffer();
    ASSERT_EQ(Streams().size(), 1u);
    EXPECT_BYTES(Streams()[0], (Bytes{0x01, 0x12, 0x02, 0x34, 0x01, 0xFE, 0x02, 0x00}));
    EXPECT_EQ(Device().registers[0x12], 0x34);
    EXPECT_EQ(Device().registers[0xFE], 0x00);
    EXPECT_EQ(Device().addressLatch, 0xFE);
}

TEST_F(CommandStreamTest, FlushingAnEmptyStreamMakesNoTransfer) {
    Open();
    USBFlushBuffer();
    USBWriteData(1);
    USBFlushBuffer();
    USBFlushBuffer();
    EXPECT_EQ(Streams().size(), 1u);
}

TEST_F(CommandStreamTest, The8192ndWriteFlushesAll16384BytesInOneTransfer) {
    Open();
    for (int i = 0; i < 8191; ++i) {
        USBWriteData(static_cast<unsigned char>(i));
    }
    EXPECT_TRUE(Device().transfers.empty()) << "16,382 bytes stay pending";
    USBWriteData(0xEE);
    ASSERT_EQ(Streams().size(), 1u);
    const Bytes sent = Streams()[0];
    ASSERT_EQ(sent.size(), 16384u);
    for (std::size_t i = 0; i < 8192; ++i) {
        ASSERT_EQ(sent[2 * i], 0x02) << "command " << i;
        ASSERT_EQ(sent[2 * i + 1], i < 8191 ? static_cast<std::uint8_t>(i) : 0xEE) << "command " << i;
    }
    USBFlushBuffer();
    EXPECT_EQ(Streams().size(), 1u) << "nothing is left pending after the full transfer";
}

TEST_F(CommandStreamTest, EpbLeavesItsSecondByteUnwritten) {
    Open();
    USBSetEPB();
    USBFlushBuffer();
    USBWriteAddress(0x77); // leaves 0x77 at index 1 of the buffer
    USBFlushBuffer();
    USBSetEPB();
    USBFlushBuffer();
    ASSERT_EQ(Streams().size(), 3u);
    EXPECT_BYTES(Streams()[0], (Bytes{0x05, 0x00})) << "a new library's buffer holds zeros";
    EXPECT_BYTES(Streams()[2], (Bytes{0x05, 0x77})) << "the byte keeps what the buffer held";
    EXPECT_EQ(Device().epbCount, 2);
}

TEST_F(CommandStreamTest, EpbCountsTowardsTheFullBuffer) {
    Open();
    for (int i = 0; i < 8191; ++i) {
        USBWriteAddress(1);
    }
    USBSetEPB();
    ASSERT_EQ(Streams().size(), 1u);
    EXPECT_EQ(Streams()[0].size(), 16384u);
}

TEST_F(CommandStreamTest, PendingCommandsSurviveAReopen) {
    Open();
    USBWriteAddress(5);
    USBWriteData(6);
    ASSERT_EQ(USBInitDevice(), 0);
    USBFlushBuffer();
    ASSERT_EQ(Streams().size(), 1u);
    EXPECT_BYTES(Streams()[0], (Bytes{0x01, 0x05, 0x02, 0x06}));
}

TEST_F(CommandStreamTest, AFreshlyLoadedLibraryHasNothingPending) {
    // The previous test left commands pending; this library is a new copy.
    Open();
    USBFlushBuffer();
    EXPECT_TRUE(Device().transfers.empty());
}

TEST_F(CommandStreamTest, WithoutAnInstrumentTheFlushIsAttemptedAndDropped) {
    USBWriteData(1); // never opened: the transfer goes to no handle and fails
    USBFlushBuffer();
    ASSERT_EQ(Device().transfers.size(), WithoutHandle(1));
    for (const vi::Transfer &t : Device().transfers) {
        EXPECT_FALSE(t.ok);
    }
    Open();
    USBFlushBuffer();
    EXPECT_TRUE(Device().transfers.empty()) << "the failed transfer's bytes are dropped";
}

} // namespace
} // namespace testbed
