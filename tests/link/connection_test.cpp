// Opening the instrument, the ready probe, the behaviour switch and the
// driver version.
#include "support/fixture.h"
#include "support/library.h"

namespace testbed {
namespace {

using ConnectionTest = DeviceTest;

TEST_F(ConnectionTest, OpensTheFirstInstrumentAndReleasesTheInformationSet) {
    EXPECT_EQ(USBInitDevice(), 0);
    EXPECT_EQ(Device().openHandles.size(), 1u);
    EXPECT_TRUE(Device().liveInfoSets.empty());
    EXPECT_TRUE(Device().transfers.empty()) << "opening must not talk to the instrument";
    EXPECT_TRUE(Device().dialogs.empty());
}

TEST_F(ConnectionTest, PassesTheSetupApiRecordSizesOfThePlatform) {
    if (kThroughDriver) {
        GTEST_SKIP() << "not applicable through the driver: the record sizes go to Wine's SetupAPI, which refuses "
                        "wrong ones; only the stand-in records them";
    }
    ASSERT_EQ(USBInitDevice(), 0);
    EXPECT_EQ(Device().interfaceSizeField, kX86Dll ? 28u : 32u);
    EXPECT_EQ(Device().detailSizeField, kX86Dll ? 5u : 8u);
}

TEST_F(ConnectionTest, WithNoInstrumentAttachedReturns256AndShowsNothing) {
    Device().Detach();
    EXPECT_EQ(USBInitDevice(), ZQLUSB_INIT_FAILED);
    EXPECT_TRUE(Device().dialogs.empty());
    EXPECT_TRUE(Device().openHandles.empty());
    EXPECT_TRUE(Device().transfers.empty());
}

TEST_F(ConnectionTest, AFailedOpenReturns256AndLeavesNoHandleBehind) {
    if (kThroughDriver) {
        GTEST_SKIP() << kOpenFaultNotApplicable;
    }
    Device().faults.failOpens = 1;
    EXPECT_EQ(USBInitDevice(), ZQLUSB_INIT_FAILED);
    EXPECT_TRUE(Device().openHandles.empty());
    // The forgotten handle is never closed or used: a ready probe simply fails.
    EXPECT_EQ(DeviceReady(), 0);
    EXPECT_EQ(USBInitDevice(), 0);
}

TEST_F(ConnectionTest, ReopeningClosesTheEarlierHandleOnce) {
    ASSERT_EQ(USBInitDevice(), 0);
    auto first = Device().openHandles.begin()->first;
    ASSERT_EQ(USBInitDevice(), 0);
    ASSERT_EQ(Device().openHandles.size(), 1u);
    EXPECT_NE(Device().openHandles.begin()->first, first);
    // A failed reopen closes the earlier handle and keeps none.
    Device().Detach();
    EXPECT_EQ(USBInitDevice(), ZQLUSB_INIT_FAILED);
    EXPECT_TRUE(Device().openHandles.empty());
    EXPECT_EQ(USBInitDevice(), ZQLUSB_INIT_FAILED) << "a second failure must not close anything twice";
}

TEST_F(ConnectionTest, DeviceReadyAsksTheDriverEachTime) {
    struct Case {
        const char *context;
        bool open;
        bool attached;
        int failReady;
        int expected;
    };
    const Case cases[] = {
        {"never opened", false, true, 0, 0},
        {"open and ready", true, true, 0, 1},
        {"open, ready request fails", true, true, 1, 0},
        {"open, instrument detached", true, false, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.context);
        Restart();
        if (c.open) {
            ASSERT_EQ(USBInitDevice(), 0);
        }
        Device().attached = c.attached;
        Device().faults.failReady = c.failReady;
        EXPECT_EQ(DeviceReady(), c.expected);
        EXPECT_EQ(Codes(), std::vector<std::uint32_t>(c.open ? 1 : WithoutHandle(1), IOCTL_SCOPE_READY));
        EXPECT_TRUE(Device().dialogs.empty());
    }
}

TEST_F(ConnectionTest, GetDriverVersionWritesOneThreeIntoExactlyItsTwoBytes) {
    for (bool open : {false, true}) {
        SCOPED_TRACE(open ? "device open" : "no device");
        if (open) {
            ASSERT_EQ(USBInitDevice(), 0);
        }
        // A record embedded in a larger area: only its two bytes change.
        auto written = WrittenPositions(6, [](std::uint8_t *area) {
            GetDriverVersion(reinterpret_cast<DriverVersion *>(area + 2));
            EXPECT_EQ(area[2], 1);
            EXPECT_EQ(area[3], 3);
        });
        EXPECT_EQ(Marked(written), (std::vector<std::size_t>{2, 3}));
        EXPECT_TRUE(Device().transfers.empty()) << "the driver is not asked";
    }
    GetDriverVersion(nullptr); // ignored, no crash
}

} // namespace
} // namespace testbed
