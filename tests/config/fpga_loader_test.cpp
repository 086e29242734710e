// Loading the FPGA: the expansion into port images in one raw write, and the
// configuration the FPGA rebuilds from it.
#include <climits>

#include "support/fixture.h"
#include "support/library.h"
#include "tests/reference/bit_stream.h"

namespace testbed {
namespace {

using FpgaLoaderTest = DeviceTest;
using CodeList = std::vector<std::uint32_t>;
constexpr std::uint32_t kStream = IOCTL_SCOPE_WRITE_STREAM, kRaw = IOCTL_SCOPE_WRITE_RAW;

TEST_F(FpgaLoaderTest, TheFpgaRebuildsTheLoadedStreamFromOneRawWrite) {
    for (std::size_t length : {0u, 1u, 3u, 1000u}) {
        SCOPED_TRACE("length " + std::to_string(length));
        Restart();
        Open();
        Bytes stream;
        for (std::size_t i = 0; i < length; ++i) {
            stream.push_back(static_cast<std::uint8_t>(i * 37 + (i >> 3) + 11));
        }
        USBLoadFPGA(stream.data(), static_cast<int>(length));
        ASSERT_EQ(Codes(), (CodeList{kRaw}));
        EXPECT_EQ(Device().transfers.at(0).inLength, 24 * length);
        EXPECT_EQ(Device().fpga.bits, 8 * length);
        EXPECT_BYTES(Device().fpga.configuration, stream);
    }
}

TEST_F(FpgaLoaderTest, EachBitBecomesThreePortImagesMostSignificantFirst) {
    const Bytes one = {0xF4, 0xD4, 0xF4}, zero = {0xE4, 0xC4, 0xE4};
    Bytes ffThen00;
    for (int i = 0; i < 16; ++i) {
        ffThen00.insert(ffThen00.end(), i < 8 ? one.begin() : zero.begin(), i < 8 ? one.end() : zero.end());
    }
    const std::pair<Bytes, Bytes> cases[] = {
        {{0xA5}, {0xF4, 0xD4, 0xF4, 0xE4, 0xC4, 0xE4, 0xF4, 0xD4, 0xF4, 0xE4, 0xC4, 0xE4,
                  0xE4, 0xC4, 0xE4, 0xF4, 0xD4, 0xF4, 0xE4, 0xC4, 0xE4, 0xF4, 0xD4, 0xF4}},
        {{0xFF, 0x00}, ffThen00},
    };
    for (const auto &[stream, images] : cases) {
        SCOPED_TRACE(Hex(stream));
        Restart();
        Open();
        USBLoadFPGA(stream.data(), static_cast<int>(stream.size()));
        ASSERT_EQ(Codes(), (CodeList{kRaw}));
        EXPECT_BYTES(Device().transfers.at(0).bytes, images);
    }
}

TEST_F(FpgaLoaderTest, EveryByteValueExpandsBitByBitInOrder) {
    // Every value once, in an order that changes many bits from byte to byte.
    Bytes stream;
    for (int i = 0; i < 256; ++i) {
        stream.push_back(static_cast<std::uint8_t>(i * 167 + 13));
    }
    const Bytes images = reference::ExpandBitStream(stream);
    Open();
    USBLoadFPGA(stream.data(), static_cast<int>(stream.size()));
    ASSERT_EQ(Codes(), (CodeList{kRaw}));
    EXPECT_BYTES(Device().transfers.at(0).bytes, images);
}

TEST_F(FpgaLoaderTest, PendingCommandsGoFirstInAStreamTransferOfTheirOwn) {
    Open();
    USBWriteAddress(0x30);
    const Bytes stream = {0x81};
    USBLoadFPGA(stream.data(), 1);
    EXPECT_EQ(Codes(), (CodeList{kStream, kRaw}));
    EXPECT_BYTES(Streams().at(0), (Bytes{0x01, 0x30}));
    EXPECT_BYTES(Device().fpga.configuration, stream);
}

TEST_F(FpgaLoaderTest, AStreamTooLongToExpandSendsOnlyThePendingCommands) {
    // 24 times these lengths overflows 32 bits; in a 32-bit process the
    // longest length that fits cannot be allocated either.
    std::vector<int> lengths = {static_cast<int>(UINT32_MAX / 24 + 1), INT_MAX};
    if (sizeof(void *) == 4 || kX86Dll) {
        lengths.push_back(static_cast<int>(UINT32_MAX / 24));
    }
    static const unsigned char stream[16] = {0xFF};
    for (int length : lengths) {
        SCOPED_TRACE("length " + std::to_string(length));
        Restart();
        Open();
        USBWriteData(0x44);
        USBLoadFPGA(stream, length);
        EXPECT_EQ(Codes(), (CodeList{kStream}));
        EXPECT_EQ(Device().fpga.bits, 0u);
    }
}

} // namespace
} // namespace testbed
