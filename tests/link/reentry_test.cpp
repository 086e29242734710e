// Calls into the library from inside the retry dialog, as the window
// procedures of an application do while the dialog's message loop runs: they
// run at once on the dialog's thread, while other threads still wait.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "acquisition/record.h"
#include "support/library.h"

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

// Shows the dialog of a pending write answered Retry and, while it is shown,
// starts `call` on another thread and runs `inside` on this one. Returns
// whether the other thread's call had returned 100 ms into the dialog; both
// flushes and the other thread are done when it returns.
bool OtherThreadsCallReturnedDuringTheDialog(void (*call)(), void (*inside)()) {
    PendingWriteThatShowsTheDialog(vi::Device());
    vi::Device().dialogAnswers = {kRetry};
    std::atomic<bool> otherReturned{false};
    bool returnedDuringDialog = true;
    std::thread other;
    vi::Device().whileDialogShown = [&](vi::Instrument &) {
        other = std::thread([&] {
            call();
            otherReturned = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        returnedDuringDialog = otherReturned.load();
        inside();
    };
    USBFlushBuffer();
    other.join();
    USBFlushBuffer();
    vi::Device().whileDialogShown = nullptr; // it holds this function's locals
    return returnedDuringDialog;
}

TEST_F(ReentryTest, AnotherThreadWaitsUntilTheDialogsCallHasReturned) {
    if (kEmulatedX86) {
        GTEST_SKIP() << kTwoThreadsNotApplicable;
    }
    Open();
    // This thread's own call from inside the dialog runs at once all the same.
    const bool returnedDuringDialog =
        OtherThreadsCallReturnedDuringTheDialog([] { USBWriteAddress(0x33); }, [] { USBWriteData(0x02); });
    EXPECT_FALSE(returnedDuringDialog) << "a call from another thread ran while the dialog was shown";
    const Bytes pending = {CMD_ADDRESS, 0x10, CMD_DATA, 0x01};
    EXPECT_EQ(Streams(),
              (std::vector<Bytes>{
                  pending, pending, {CMD_ADDRESS, 0x10, CMD_DATA, 0x01, CMD_DATA, 0x02}, {CMD_ADDRESS, 0x33}}));
}

// The calls that only fill the command buffer or send it take the lock like
// every other: none from another thread runs while a call shows the dialog.
TEST_F(ReentryTest, EveryBufferCallOfAnotherThreadWaitsWhileTheDialogIsShown) {
    if (kEmulatedX86) {
        GTEST_SKIP() << kTwoThreadsNotApplicable;
    }
    struct Case {
        const char *name;
        void (*call)();
        Bytes sentLast; // the other thread's commands, sent by the final flush; empty for a flush
    };
    const Case cases[] = {
        {"USBWriteData", [] { USBWriteData(0x33); }, {CMD_DATA, 0x33}},
        {"USBWriteAddress", [] { USBWriteAddress(0x33); }, {CMD_ADDRESS, 0x33}},
        {"USBSetEPB", [] { USBSetEPB(); }, {zqlusb::CMD_EPB}},
        {"USBFlushBuffer", [] { USBFlushBuffer(); }, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Open();
        const bool returnedDuringDialog = OtherThreadsCallReturnedDuringTheDialog(c.call, [] {});
        EXPECT_FALSE(returnedDuringDialog) << "a call from another thread ran while the dialog was shown";
        const std::vector<Bytes> streams = Streams();
        ASSERT_FALSE(streams.empty());
        if (!c.sentLast.empty()) {
            EXPECT_EQ(Bytes(streams.back().begin(),
                            streams.back().begin() +
                                static_cast<std::ptrdiff_t>(std::min(streams.back().size(), c.sentLast.size()))),
                      c.sentLast);
        }
    }
}

// A read whose request fills the buffer to its spare shows the dialog; a read
// made inside it must not write past the buffer (the sanitizer lane checks
// this), and sends the pending commands first to make room. Each read gets
// its own byte.
TEST_F(ReentryTest, AReadInsideTheDialogOfAReadAtAFullBufferStaysInsideTheBuffer) {
    Open();
    SetDLLBehaviour(1);
    constexpr int kFillingWrites = 8191; // leaves room for one command before the buffer is full
    for (int i = 0; i < kFillingWrites; ++i) {
        USBWriteData(0x5A);
    }
    Device().faults.failWrites = 2;
    Device().dialogAnswers = {kRetry};
    Device().i2cEeprom.bytes[0x0101] = 0x3C;
    Device().i2cEeprom.bytes[0x0102] = 0xA7;
    int innerByte = -1;
    Device().whileDialogShown = [&](vi::Instrument &) {
        innerByte = USBReadI2CEEPROM(0x0102, ZqlusbI2CConfirmationCode(0x0102));
    };
    const int outerByte = USBReadI2CEEPROM(0x0101, ZqlusbI2CConfirmationCode(0x0101));

    EXPECT_EQ(innerByte, 0xA7);
    EXPECT_EQ(outerByte, 0x3C) << "Retry sends the outer request again";
    for (const Bytes &stream : Streams()) {
        EXPECT_LE(stream.size(), 16384u + 8u);
    }
    EXPECT_EQ(DeviceReady(), 1);
}

// The read that shows the dialog takes its request out of the stream while
// the dialog is up: a call made inside it sends only its own request and
// takes only its own answer, and Retry sends the outer request again, behind
// whatever is pending by then. No read transfer is ever made without a
// request outstanding (the instrument would log a protocol error).
TEST_F(ReentryTest, AReadInsideTheDialogOfAReadNeverTakesTheOtherCallsAnswer) {
    constexpr std::uint16_t kOuterPoints = 64;
    enum Inner { kRollRead, kI2CRead, kFlush, kWrite, kNothing };
    const struct {
        Inner inner;
        int answer;
        std::size_t readTransfers; // the inner call's and the outer call's
        bool outerGetsItsPoints;   // else the record keeps its content outside what the link-failed copy writes
    } cases[] = {
        {kRollRead, kRetry, 2, true}, {kI2CRead, kRetry, 2, true}, {kFlush, kRetry, 1, true},
        {kWrite, kRetry, 1, true},    {kNothing, kRetry, 1, true}, {kRollRead, kCancel, 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "inner call " << c.inner << (c.answer == kRetry ? ", Retry" : ", Cancel"));
        Restart();
        Open();
        SetDLLBehaviour(1);
        Device().faults.failWrites = 2; // the capture's request transfer fails, then its silent repeat
        Device().dialogAnswers = {c.answer};
        Device().i2cEeprom.bytes[0x0200] = 0x6B;
        Record inner;
        int innerByte = -1;
        Device().whileDialogShown = [&](vi::Instrument &) {
            switch (c.inner) {
            case kRollRead:
                USBRetrieveRollModeData(inner.data.get());
                break;
            case kI2CRead:
                innerByte = USBReadI2CEEPROM(0x0200, ZqlusbI2CConfirmationCode(0x0200));
                break;
            case kFlush:
                USBWriteAddress(0x20);
                USBFlushBuffer();
                break;
            case kWrite:
                USBWriteAddress(0x21);
                USBWriteData(0x07);
                break;
            case kNothing:
                break;
            }
        };
        Record outer;
        outer.Header(kOuterPoints, 0, 1);
        USBRetrieveScopeData(outer.data.get());

        EXPECT_EQ(Device().errors.protocol, std::vector<std::string>{});
        EXPECT_EQ(Device().TransfersOf(IOCTL_SCOPE_READ).size(), c.readTransfers);
        if (c.inner == kRollRead) {
            EXPECT_EQ(inner.data->TempBufferA[0] | inner.data->TempBufferA[1] << 8,
                      vi::AcquisitionMemory::kRollDefaultPoints);
            EXPECT_EQ(inner.At(2), Device().acquisition.At(0)) << "the roll block begins the stream";
        }
        if (c.inner == kI2CRead) {
            EXPECT_EQ(innerByte, 0x6B);
        }
        if (c.inner == kWrite) {
            EXPECT_EQ(Device().registers[0x21], 0x07)
                << "the writes made inside the dialog went out before the request";
        }
        int mismatches = 0;
        for (std::size_t k = 0; k < kOuterPoints; ++k) {
            mismatches += outer.At(k) != Device().acquisition.CapturePoint(static_cast<std::int64_t>(k));
        }
        if (c.outerGetsItsPoints) {
            EXPECT_EQ(mismatches, 0) << "the outer capture holds points that are not its own";
        } else {
            EXPECT_EQ(DeviceReady(), 0) << "Cancel closed the device";
        }
    }
}

} // namespace
} // namespace testbed
