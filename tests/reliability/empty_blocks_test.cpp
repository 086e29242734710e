// Blocks of length 0 without an address are inside the interface: the calls
// go through with empty transfers. Found by the fuzz target: the instrument
// copied a zero-length answer into the absent area, which the sanitizer lane
// reports.
#include <functional>

#include "support/fixture.h"

namespace testbed {
namespace {

using EmptyBlocksTest = DeviceTest;

TEST_F(EmptyBlocksTest, ZeroLengthBlocksWithoutAnAddressMakeEmptyTransfers) {
    struct Case {
        const char *name;
        std::function<void()> call;
        std::vector<std::uint32_t> codes; // after the flush of the pending command
        Bytes stream;                     // the stream transfer
    };
    const Case cases[] = {
        {"USBReadDataBlock",
         [] { USBReadDataBlock(nullptr, 0); },
         {IOCTL_SCOPE_WRITE_STREAM, IOCTL_SCOPE_READ},
         {0x02, 0x33, 0x00, 0x00, 0x03, 0x09, 0xFF, 0xFF}},
        {"USBWriteBuffer",
         [] { USBWriteBuffer(nullptr, 0); },
         {IOCTL_SCOPE_WRITE_STREAM, IOCTL_SCOPE_WRITE_RAW},
         {0x02, 0x33}},
        {"USBLoadFPGA",
         [] { USBLoadFPGA(nullptr, 0); },
         {IOCTL_SCOPE_WRITE_STREAM, IOCTL_SCOPE_WRITE_RAW},
         {0x02, 0x33}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Open();
        USBWriteData(0x33);
        c.call();
        EXPECT_EQ(Codes(), c.codes);
        ASSERT_EQ(Streams().size(), 1u);
        EXPECT_BYTES(Streams()[0], c.stream);
        EXPECT_EQ(Device().transfers.back().inLength, 0u);
        EXPECT_TRUE(Device().transfers.back().ok);
    }
}

} // namespace
} // namespace testbed
