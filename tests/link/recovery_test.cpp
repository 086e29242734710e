// What follows a failed write: the link-failed state without dialog mode;
// in dialog mode one silent reconnect, then the retry dialog.
#include "support/fixture.h"

namespace testbed {
namespace {

using RecoveryTest = DeviceTest;

const char kCaption[] = "Zelqa not ready";
const char kText[] = "Zelqa is either disconnected or is not ready.\nDo you want to retry operation ?";
constexpr int kRetry = 4;
constexpr int kCancel = 2;

// The outcome of each stream transfer, in order.
std::vector<bool> Outcomes() {
    std::vector<bool> out;
    for (const vi::Transfer &t : vi::Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM)) {
        out.push_back(t.ok);
    }
    return out;
}

TEST_F(RecoveryTest, WithoutDialogModeAFailedFlushIsNotRepeatedAndItsBytesAreDropped) {
    Open();
    USBWriteData(0x11);
    Device().faults.failWrites = 1;
    USBFlushBuffer();
    EXPECT_EQ(Outcomes(), (std::vector<bool>{false}));
    EXPECT_TRUE(Device().dialogs.empty());
    USBWriteData(0x22);
    USBFlushBuffer();
    EXPECT_BYTES(Streams().back(), (Bytes{0x02, 0x22}));
    EXPECT_EQ(Device().openHandles.size(), 1u) << "the handle stays open without dialog mode";
}

TEST_F(RecoveryTest, SetDllBehaviourSwitchesDialogModeOnlyByBitZero) {
    struct Case {
        const char *context;
        std::vector<int> calls;
        bool dialogMode;
    };
    const Case cases[] = {
        {"never called", {}, false},           {"2 leaves it off", {2}, false},
        {"1 switches it on", {1}, true},       {"0 after 1 leaves it on", {1, 0}, true},
        {"any odd value", {0x7FFFFFFF}, true}, {"negative even", {-2}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.context);
        Restart();
        Open();
        for (int behaviour : c.calls) {
            SetDLLBehaviour(behaviour);
        }
        Device().faults.failWrites = 1;
        USBWriteData(1);
        USBFlushBuffer();
        // Dialog mode shows itself by repeating the failed transfer after a
        // silent reconnect.
        EXPECT_EQ(Outcomes(), c.dialogMode ? (std::vector<bool>{false, true}) : (std::vector<bool>{false}));
    }
}

TEST_F(RecoveryTest, InDialogModeTheFirstFailureReconnectsSilentlyAndRepeats) {
    Open();
    SetDLLBehaviour(1);
    auto before = Device().openHandles.begin()->first;
    Device().faults.failWrites = 1;
    USBWriteData(0x5C);
    USBFlushBuffer();
    EXPECT_EQ(Outcomes(), (std::vector<bool>{false, true}));
    EXPECT_BYTES(Streams()[1], (Bytes{0x02, 0x5C})) << "the repeat sends the same bytes";
    EXPECT_TRUE(Device().dialogs.empty());
    ASSERT_EQ(Device().openHandles.size(), 1u);
    EXPECT_NE(Device().openHandles.begin()->first, before) << "the device was reopened";
}

TEST_F(RecoveryTest, ASecondConsecutiveFailureShowsTheRetryDialog) {
    Open();
    SetDLLBehaviour(1);
    Device().faults.failWrites = 2;
    Device().dialogAnswers = {kRetry};
    USBWriteData(0x01);
    USBFlushBuffer();
    EXPECT_EQ(Outcomes(), (std::vector<bool>{false, false, true}));
    ASSERT_EQ(Device().dialogs.size(), 1u);
    const vi::Dialog &d = Device().dialogs[0];
    EXPECT_EQ(d.owner, nullptr);
    EXPECT_EQ(d.caption, kCaption);
    EXPECT_EQ(d.text, kText);
    EXPECT_EQ(d.buttons, 5u) << "MB_RETRYCANCEL";
}

TEST_F(RecoveryTest, RetryRepeatsAsOftenAsTheUserChoosesIt) {
    Open();
    SetDLLBehaviour(1);
    Device().faults.failWrites = 5;
    Device().dialogAnswers = {kRetry, kRetry, kRetry, kRetry};
    USBWriteData(0x01);
    USBFlushBuffer();
    EXPECT_EQ(Outcomes(), (std::vector<bool>{false, false, false, false, false, true}));
    EXPECT_EQ(Device().dialogs.size(), 4u);
    for (const Bytes &sent : Streams()) {
        EXPECT_BYTES(sent, (Bytes{0x02, 0x01}));
    }
}

TEST_F(RecoveryTest, RetryAfterTheUserReconnectsTheInstrumentSucceeds) {
    Open();
    SetDLLBehaviour(1);
    Device().Detach();
    Device().dialogAnswers = {kRetry};
    Device().whileDialogShown = [](vi::Instrument &device) { device.Attach(); };
    USBWriteData(0x42);
    USBFlushBuffer();
    // Fails on the old handle, again after the silent reopen found nothing
    // (no handle), and succeeds after Retry.
    std::vector<bool> expected(1 + WithoutHandle(1), false);
    expected.push_back(true);
    EXPECT_EQ(Outcomes(), expected);
    EXPECT_EQ(Device().registers[0], 0x42);
}

TEST_F(RecoveryTest, CancelClosesTheDeviceAndDropsTheTransfer) {
    Open();
    SetDLLBehaviour(1);
    Device().faults.failWrites = 2;
    Device().dialogAnswers = {kCancel};
    USBWriteData(0x01);
    USBFlushBuffer();
    EXPECT_EQ(Outcomes(), (std::vector<bool>{false, false}));
    EXPECT_EQ(Device().dialogs.size(), 1u);
    EXPECT_TRUE(Device().openHandles.empty());
    // Any answer but Retry counts as Cancel.
    EXPECT_EQ(DeviceReady(), 0);
}

TEST_F(RecoveryTest, AnyAnswerButRetryCountsAsCancel) {
    for (int answer : {0, 1, 2, 3, 5, 6, 7, -1}) {
        SCOPED_TRACE(answer);
        Restart();
        Open();
        SetDLLBehaviour(1);
        Device().faults.failWrites = 2;
        Device().dialogAnswers = {answer};
        USBWriteData(0x01);
        USBFlushBuffer();
        EXPECT_EQ(Outcomes(), (std::vector<bool>{false, false}));
        EXPECT_TRUE(Device().openHandles.empty());
    }
}

TEST_F(RecoveryTest, AfterCancelFailuresCloseWithoutAskingUntilAWriteSucceeds) {
    Open();
    SetDLLBehaviour(1);
    Device().faults.failWrites = 2;
    USBWriteData(0x01);
    USBFlushBuffer(); // fail, reconnect, fail, Cancel (no scripted answer)
    ASSERT_EQ(Device().dialogs.size(), 1u);
    Device().transfers.clear();
    for (int i = 0; i < 3; ++i) {
        USBWriteData(0x02);
        USBFlushBuffer(); // the handle is closed: the transfer fails at once
    }
    EXPECT_EQ(Outcomes(), std::vector<bool>(WithoutHandle(3), false));
    EXPECT_EQ(Device().dialogs.size(), 1u) << "no further dialog";
    ASSERT_EQ(USBInitDevice(), 0);
    USBWriteData(0x03);
    USBFlushBuffer();
    EXPECT_EQ(Outcomes().back(), true);
    // The success has reset everything: the next failure reconnects silently.
    Device().faults.failWrites = 1;
    USBWriteData(0x04);
    USBFlushBuffer();
    EXPECT_EQ(Device().dialogs.size(), 1u);
    EXPECT_EQ(Outcomes().back(), true);
}

TEST_F(RecoveryTest, TheSilentReconnectIsUsedOncePerRunOfFailures) {
    Open();
    SetDLLBehaviour(1);
    // Fail, reconnect, succeed: the silent reconnect is spent and restored.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Device().faults.failWrites = 1;
        USBWriteData(0x01);
        USBFlushBuffer();
        EXPECT_TRUE(Device().dialogs.empty()) << "each run of failures starts with a silent reconnect";
    }
    // Two consecutive failures within one flush: the second asks.
    Device().faults.failWrites = 2;
    Device().dialogAnswers = {kRetry};
    USBWriteData(0x01);
    USBFlushBuffer();
    EXPECT_EQ(Device().dialogs.size(), 1u);
}

TEST_F(RecoveryTest, TheSilentReconnectStaysSpentWhileTheLinkIsDown) {
    Open();
    SetDLLBehaviour(1);
    Device().faults.failWrites = 1;
    USBWriteData(0x01);
    USBFlushBuffer(); // fail, reconnect, success: spent and restored
    Device().Detach();
    Device().dialogAnswers = {kCancel};
    USBWriteData(0x02);
    USBFlushBuffer(); // fail, reconnect fails, repeat fails, dialog, Cancel
    EXPECT_EQ(Device().dialogs.size(), 1u);
    Device().Attach();
    ASSERT_EQ(USBInitDevice(), 0); // pending nothing: the Cancel dropped it
    Device().faults.failWrites = 1;
    USBWriteData(0x03);
    USBFlushBuffer(); // link-failed and ReTry spent: closes without asking
    EXPECT_EQ(Device().dialogs.size(), 1u);
    EXPECT_TRUE(Device().openHandles.empty());
}

} // namespace
} // namespace testbed
