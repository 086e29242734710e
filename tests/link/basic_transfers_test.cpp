// Reading a byte or a block, writing raw bytes, the framing of the read
// request in the stream, and the arguments refused before anything is sent.
#include <climits>
#include <functional>

#include "support/fixture.h"

namespace testbed {
namespace {

using BasicTransfersTest = DeviceTest;
using CodeList = std::vector<std::uint32_t>;
constexpr std::uint32_t kStream = IOCTL_SCOPE_WRITE_STREAM, kRaw = IOCTL_SCOPE_WRITE_RAW, kRead = IOCTL_SCOPE_READ;

TEST_F(BasicTransfersTest, ReadDataReturnsZeroWhenNoByteArrives) {
    const std::function<void(vi::Faults &)> faults[] = {
        [](vi::Faults &f) { f.failReads = 1; }, [](vi::Faults &f) { f.deliverAtMost = 0; },
        [](vi::Faults &f) { f.failWrites = 1; }, // the request's own transfer: no read
    };
    for (const auto &fault : faults) {
        Restart();
        Open();
        Device().plantedByte = 0xAB;
        ASSERT_EQ(USBReadData(), 0xAB);
        fault(Device().faults);
        EXPECT_EQ(USBReadData(), 0);
    }
}

TEST_F(BasicTransfersTest, AfterAFailedFlushTheReadsOwnStreamTransferDecidesWhetherItReads) {
    Open();
    Device().plantedByte = 0x5E;
    Device().faults.failWrites = 2; // a flush, then the read's own transfer
    USBWriteData(1);
    USBFlushBuffer();
    EXPECT_EQ(USBReadData(), 0);
    EXPECT_EQ(Codes(), (CodeList{kStream, kStream})) << "no read while the link stays failed";
    EXPECT_EQ(USBReadData(), 0x5E);
    EXPECT_EQ(Codes(), (CodeList{kStream, kStream, kStream, kRead}));
}

TEST_F(BasicTransfersTest, ReadRequestsStartAtAMultipleOfFour) {
    for (std::size_t pending = 0; pending < 4; ++pending) {
        SCOPED_TRACE(std::to_string(pending) + " commands pending");
        Restart();
        Open();
        for (std::size_t i = 0; i < pending; ++i) {
            USBWriteData(0x10);
        }
        USBReadData();
        const Bytes request = pending % 2 ? Bytes{0x00, 0x00, 0x03, 0x04} : Bytes{0x03, 0x04};
        EXPECT_BYTES(Slice(Streams().at(0), 2 * pending, request.size()), request);
        EXPECT_EQ(Streams().at(0).size(), 2 * pending + request.size() + 2);
    }
}

TEST_F(BasicTransfersTest, AReadRequestBehind16382PendingBytesGoesInTheSameTransfer) {
    Open();
    USBWriteAddress(0x21);
    for (int i = 0; i < 8190; ++i) {
        USBWriteData(0xFF);
    }
    EXPECT_EQ(USBReadData(), 255) << "the register written in the same transfer, zero-extended";
    EXPECT_EQ(Codes(), (CodeList{kStream, kRead}));
    ASSERT_EQ(Streams().at(0).size(), 16388u);
    EXPECT_BYTES(Slice(Streams().at(0), 16380, 6), (Bytes{0x02, 0xFF, 0x00, 0x00, 0x03, 0x04}));
}

TEST_F(BasicTransfersTest, ReadDataBlockReadsWholePacketsIntoTheCallersArea) {
    struct Case {
        int length;
        std::size_t requested;
        std::uint8_t high, low;
    };
    const Case cases[] = {{100, 128, 0x00, 0x01},
                          {64, 64, 0x00, 0x00},
                          {0, 0, 0xFF, 0xFF},
                          {ZQLUSB_BLOCK_MAX, ZQLUSB_BLOCK_MAX, 0xFF, 0xFF}};
    for (const Case &c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        Restart();
        Open();
        for (std::size_t i = 0; i < c.requested; ++i) {
            Device().blockData.push_back(static_cast<std::uint8_t>(i * 7 + 3));
        }
        Bytes area(c.requested + 64, 0xEE);
        USBReadDataBlock(area.data(), c.length);
        EXPECT_BYTES(Streams().at(0), (Bytes{0x03, 0x09, c.high, c.low}));
        EXPECT_EQ(Device().transfers.at(1).inLength, c.requested);
        EXPECT_BYTES(Slice(area, 0, c.requested), Device().blockData);
        EXPECT_BYTES(Slice(area, c.requested, 64), Bytes(64, 0xEE)) << "nothing past the rounded length";
    }
}

TEST_F(BasicTransfersTest, ReadDataBlockLeavesTheAreaAloneWhenTheLinkHasFailed) {
    Open();
    Device().blockData = Bytes(64, 0x11);
    Device().faults.failWrites = 1;
    Bytes area(64, 0xEE);
    USBReadDataBlock(area.data(), 64);
    EXPECT_EQ(Codes(), (CodeList{kStream}));
    EXPECT_BYTES(area, Bytes(64, 0xEE));
}

TEST_F(BasicTransfersTest, WriteBufferSendsThePendingCommandsFirstThenTheBytesUnchanged) {
    Open();
    USBWriteAddress(0x09);
    Bytes images = {0xF4, 0xD4, 0xF4, 0xE4, 0xC4, 0xE4}; // the bits 1 and 0 for the FPGA port
    EXPECT_EQ(USBWriteBuffer(images.data(), 6), 0);
    EXPECT_EQ(Codes(), (CodeList{kStream, kRaw}));
    EXPECT_BYTES(Streams().at(0), (Bytes{0x01, 0x09}));
    EXPECT_BYTES(Device().rawBytes, images);
    Device().faults.failWrites = 1;
    EXPECT_EQ(USBWriteBuffer(images.data(), 3), 0) << "a failed raw write returns 0 as well";
}

TEST_F(BasicTransfersTest, UnusableArgumentsAreRefusedBeforeAnythingIsSent) {
    static unsigned char area[64];
    const std::function<int()> calls[] = {
        [] { return USBReadDataBlock(nullptr, 1); },
        [] { return USBReadDataBlock(area, -64); },
        [] { return USBReadDataBlock(area, ZQLUSB_BLOCK_MAX + 1); },
        [] { return USBReadDataBlock(area, INT_MAX); },
        [] { return USBWriteBuffer(nullptr, 3); },
        [] { return USBWriteBuffer(area, -1); },
        [] { return USBLoadFPGA(nullptr, 1); },
        [] { return USBLoadFPGA(area, INT_MIN); },
        [] { return USBReadFromEEPROM(5, nullptr); },
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        Restart();
        Open();
        USBWriteData(0x33);
        EXPECT_EQ(calls[i](), 0);
        EXPECT_TRUE(Device().transfers.empty());
        USBFlushBuffer();
        EXPECT_EQ(Streams(), (std::vector<Bytes>{{0x02, 0x33}})) << "the pending command is kept";
    }
}

} // namespace
} // namespace testbed
