// USBLinkStatus, the query behind the 18 original exports: the link-failed
// state, a read that brought no data, and a write given up since the last
// query, across a failed link, a skipped read and a recovered one.
#include <memory>
#include <string>

#include "support/fixture.h"

namespace testbed {
namespace {

using LinkStatusTest = DeviceTest;

constexpr int kFailed = ZQLUSB_LINK_FAILED;
constexpr int kMissed = ZQLUSB_LINK_READ_MISSED;
constexpr int kLost = ZQLUSB_LINK_WRITE_LOST;
constexpr int kRetry = 4;
constexpr int kCancel = 2;

// One register write sent on its own.
void Flush(unsigned char value) {
    USBWriteData(value);
    USBFlushBuffer();
}

TEST_F(LinkStatusTest, TellsFailedLinkSkippedReadAndRecoveryApart) {
    struct Case {
        const char *context;
        void (*setUp)(vi::Instrument &);
        void (*calls)();
        int status;
    };
    auto none = [](vi::Instrument &) {};
    const Case cases[] = {
        {"nothing done yet", none, [] {}, 0},
        {"a read that succeeds", none, [] { USBReadData(); }, 0},
        {"a flush that fails: the link fails and its commands are lost",
         [](vi::Instrument &d) { d.faults.failWrites = 1; }, [] { Flush(1); }, kFailed | kLost},
        {"a read whose request fails to go out: skipped",
         [](vi::Instrument &d) { d.faults.failWrites = 1; }, [] { USBReadData(); }, kFailed | kMissed | kLost},
        {"after Cancel in the dialog the device is closed: the next read is skipped",
         [](vi::Instrument &d) {
             d.faults.failWrites = 2;
             d.dialogAnswers = {kCancel};
         },
         [] {
             SetDLLBehaviour(1);
             Flush(1);
             USBLinkStatus();
             USBReadData();
         },
         kFailed | kMissed | kLost},
        {"without dialog mode the read after a failed flush goes out and succeeds",
         [](vi::Instrument &d) { d.faults.failWrites = 1; },
         [] {
             Flush(1);
             USBLinkStatus();
             USBReadData();
         },
         0},
        {"the request goes out, then the instrument is unplugged: the read transfer fails",
         [](vi::Instrument &d) { d.unplugAfter = 1; }, [] { USBReadData(); }, kMissed},
        {"a write that succeeds ends the failed state; the missed read stays the last read",
         [](vi::Instrument &d) { d.faults.failWrites = 1; },
         [] {
             USBReadData();
             Flush(2);
         },
         kMissed | kLost},
        {"recovered: a read that succeeds after the failure",
         [](vi::Instrument &d) { d.faults.failWrites = 1; },
         [] {
             USBReadData();
             USBLinkStatus();
             USBReadData();
         },
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.context);
        Restart();
        Open();
        c.setUp(Device());
        c.calls();
        EXPECT_EQ(USBLinkStatus(), c.status);
        allowCallErrors = true; // the unplugged case leaves a transfer that failed
    }
}

TEST_F(LinkStatusTest, ALostWriteIsReportedOnceAndTheFailedStateUntilAWriteSucceeds) {
    Open();
    Device().faults.failWrites = 1;
    Flush(1);
    EXPECT_EQ(USBLinkStatus(), kFailed | kLost);
    EXPECT_EQ(USBLinkStatus(), kFailed) << "reporting the lost write clears it; the state stays";
    Flush(2);
    EXPECT_EQ(USBLinkStatus(), 0);
}

TEST_F(LinkStatusTest, EveryReadingExportReportsASkippedRead) {
    struct Case {
        const char *name;
        void (*read)();
    };
    const Case cases[] = {
        {"USBReadData", [] { USBReadData(); }},
        {"USBReadDataBlock",
         [] {
             unsigned char block[64];
             USBReadDataBlock(block, 64);
         }},
        {"USBReadI2CEEPROM", [] { USBReadI2CEEPROM(3, ZqlusbI2CConfirmationCode(3)); }},
        {"USBReadFromEEPROM",
         [] {
             unsigned short word = 0;
             USBReadFromEEPROM(2, &word);
         }},
        {"USBRetrieveScopeData",
         [] {
             auto record = std::make_unique<OutPutData>();
             ZqlusbSetScopeRequest(record.get(), 100, 0, 1);
             USBRetrieveScopeData(record.get());
         }},
        {"USBRetrieveRollModeData",
         [] {
             auto record = std::make_unique<OutPutData>();
             USBRetrieveRollModeData(record.get());
         }},
        {"USBRetrievePreTriggerData",
         [] {
             auto record = std::make_unique<OutPutData>();
             USBRetrievePreTriggerData(record.get());
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        Open();
        c.read();
        EXPECT_EQ(USBLinkStatus(), 0) << "a read that reached the instrument";
        Device().faults.failWrites = 1;
        USBWriteData(7); // pending, so that even a read with nothing of its own to send flushes
        c.read();
        EXPECT_NE(USBLinkStatus() & kMissed, 0) << "a read after a failed flush";
    }
}

TEST_F(LinkStatusTest, InDialogModeOnlyAGivenUpWriteIsLost) {
    struct Case {
        const char *context;
        int failures;
        int answer;
        int status;
    };
    const Case cases[] = {
        {"the silent reconnect cures it", 1, kRetry, 0},
        {"Retry in the dialog cures it", 2, kRetry, 0},
        {"Cancel in the dialog drops the commands", 2, kCancel, kFailed | kLost},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.context);
        Restart();
        Open();
        SetDLLBehaviour(1);
        Device().faults.failWrites = c.failures;
        Device().dialogAnswers = {c.answer};
        Flush(1);
        EXPECT_EQ(USBLinkStatus(), c.status);
    }
}

TEST_F(LinkStatusTest, TheQuerySendsNothing) {
    Open();
    USBWriteData(1); // pending: the query must not send it
    const std::size_t before = Device().transfers.size();
    Device().faults.failWrites = 1;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(USBLinkStatus(), 0);
    }
    EXPECT_EQ(Device().transfers.size(), before);
    EXPECT_EQ(Device().faults.failWrites, 1);
}

} // namespace
} // namespace testbed
