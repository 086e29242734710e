// Calls into the library from inside the retry dialog, as the window
// procedures of an application do while the dialog's message loop runs: they
// run at once on the dialog's thread, while other threads still wait.
#include <atomic>
#include <chrono>
#include <thread>

#include "acquisition/record.h"

namespace testbed {
namespace {

using ReentryTest = DeviceTest;
using zqlusb::CMD_ADDRESS;
using zqlusb::CMD_DATA;
using zqlusb::CMD_NOP;
using zqlusb::CMD_READ;
using zqlusb::READ_BLOCK;

constexpr int kRetry = 4;
constexpr int kCancel = 2;
constexpr std::uint16_t kPoints = 32; // one packet of the capture

std::vector<bool> Outcomes() {
    std::vector<bool> out;
    for (const vi::Transfer &t : vi::Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM)) {
        out.push_back(t.ok);
    }
    return out;
}

// Register 0x10 set to 0x01, pending, in dialog mode; the next two stream
// transfers fail, so that the flush shows the dialog.
void PendingWriteThatShowsTheDialog(vi::Instrument &device) {
    SetDLLBehaviour(1);
    USBWriteAddress(0x10);
    USBWriteData(0x01);
    device.faults.failWrites = 2;
}

TEST_F(ReentryTest, CallsFromInsideTheDialogReturnAndTheirCommandsGoWithThePendingOnes) {
    for (int answer : {kRetry, kCancel}) {
        SCOPED_TRACE(answer == kRetry ? "Retry" : "Cancel");
        Restart();
        Open();
        PendingWriteThatShowsTheDialog(Device());
        Device().dialogAnswers = {answer};
        int readyInside = -1;
        Record record;
        record.Header(kPoints, 0, 1);
        Device().whileDialogShown = [&](vi::Instrument &) {
            readyInside = DeviceReady();
            USBWriteData(0x02);
            USBRetrieveScopeData(record.data.get());
        };
        USBFlushBuffer();

        EXPECT_EQ(readyInside, 1) << "the silent reconnect reopened the device";
        const Bytes pending = {CMD_ADDRESS, 0x10, CMD_DATA, 0x01};
        // The retrieval sends the failed commands, the write made inside the
        // dialog and its request in one transfer; Retry has nothing left to repeat.
        const Bytes joined = {CMD_ADDRESS, 0x10, CMD_DATA, 0x01,       CMD_DATA, 0x02,
                              CMD_NOP,     0x00, CMD_READ, READ_BLOCK, 0,        0};
        EXPECT_EQ(Streams(), (std::vector<Bytes>{pending, pending, joined}));
        EXPECT_EQ(Outcomes(), (std::vector<bool>{false, false, true}));
        EXPECT_EQ(Device().TransfersOf(IOCTL_SCOPE_READ).size(), 1u);
        EXPECT_EQ(Device().registers[0x10], 0x02);
        for (std::size_t k = 0; k < kPoints; ++k) {
            ASSERT_EQ(record.At(k), Device().acquisition.CapturePoint(static_cast<std::int64_t>(k))) << "point " << k;
        }
        EXPECT_EQ(Device().dialogs.size(), 1u);
        // Retry reopens the device; Cancel closes it and the link has failed.
        EXPECT_EQ(DeviceReady(), answer == kRetry ? 1 : 0);
    }
}

TEST_F(ReentryTest, AFailureInsideTheDialogFollowsTheSameRecoveryRules) {
    const struct {
        int inner, outer; // the answers to the inner dialog, then to the outer one
        std::vector<bool> outcomes;
        std::uint8_t registerValue; // 0: the pending writes were dropped
        int readyAfter;
    } cases[] = {
        // The inner Retry sends everything pending; the outer Retry reopens, with nothing to repeat.
        {kRetry, kRetry, {false, false, false, true}, 0x02, 1},
        {kRetry, kCancel, {false, false, false, true}, 0x02, 0},
        // The inner Cancel drops all pending commands, those of the outer call too.
        {kCancel, kRetry, {false, false, false}, 0x00, 1},
        {kCancel, kCancel, {false, false, false}, 0x00, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "inner " << c.inner << " outer " << c.outer);
        Restart();
        Open();
        PendingWriteThatShowsTheDialog(Device());
        Device().dialogAnswers = {c.inner, c.outer}; // the inner dialog is answered first
        int shown = 0;
        Device().whileDialogShown = [&](vi::Instrument &device) {
            if (++shown == 1) {
                device.faults.failWrites = 1; // the inner flush fails once more: its own dialog
                USBWriteData(0x02);
                USBFlushBuffer();
            }
        };
        USBFlushBuffer();

        EXPECT_EQ(shown, 2);
        EXPECT_EQ(Device().dialogs.size(), 2u);
        EXPECT_EQ(Outcomes(), c.outcomes);
        EXPECT_EQ(Device().registers[0x10], c.registerValue);
        EXPECT_EQ(DeviceReady(), c.readyAfter);
    }
}

TEST_F(ReentryTest, AnotherThreadWaitsUntilTheDialogsCallHasReturned) {
    Open();
    PendingWriteThatShowsTheDialog(Device());
    Device().dialogAnswers = {kRetry};
    std::atomic<bool> otherReturned{false};
    bool returnedDuringDialog = true;
    std::thread other;
    Device().whileDialogShown = [&](vi::Instrument &) {
        other = std::thread([&] {
            USBWriteAddress(0x33);
            otherReturned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        returnedDuringDialog = otherReturned.load();
        USBWriteData(0x02); // this thread's call runs at once all the same
    };
    USBFlushBuffer();
    other.join();
    USBFlushBuffer();

    EXPECT_FALSE(returnedDuringDialog) << "a call from another thread ran while the dialog was shown";
    const Bytes pending = {CMD_ADDRESS, 0x10, CMD_DATA, 0x01};
    EXPECT_EQ(Streams(),
              (std::vector<Bytes>{
                  pending, pending, {CMD_ADDRESS, 0x10, CMD_DATA, 0x01, CMD_DATA, 0x02}, {CMD_ADDRESS, 0x33}}));
}

// A read whose request fills the buffer to its spare shows the dialog; a read
// made inside it must not write past the buffer (the sanitizer lane checks
// this), and sends the pending commands first to make room.
TEST_F(ReentryTest, AReadInsideTheDialogOfAReadAtAFullBufferStaysInsideTheBuffer) {
    allowProtocolErrors = true; // two read requests reach the instrument before one read transfer
    Open();
    SetDLLBehaviour(1);
    constexpr int kFillingWrites = 8191; // leaves room for one command before the buffer is full
    for (int i = 0; i < kFillingWrites; ++i) {
        USBWriteData(0x5A);
    }
    Device().faults.failWrites = 2;
    Device().dialogAnswers = {kRetry};
    Device().i2cEeprom.bytes[0x0102] = 0xA7;
    int innerByte = -1;
    Device().whileDialogShown = [&](vi::Instrument &) {
        innerByte = USBReadI2CEEPROM(0x0102, ZqlusbI2CConfirmationCode(0x0102));
    };
    const int outerByte = USBReadI2CEEPROM(0x0101, ZqlusbI2CConfirmationCode(0x0101));

    EXPECT_EQ(innerByte, 0xA7);
    EXPECT_EQ(outerByte, 0) << "its request was answered inside the dialog: no byte arrives";
    for (const Bytes &stream : Streams()) {
        EXPECT_LE(stream.size(), 16384u + 8u);
    }
    EXPECT_EQ(DeviceReady(), 1);
}

} // namespace
} // namespace testbed
