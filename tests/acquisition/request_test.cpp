// What the three acquisition operations share: pending commands travel ahead
// of the read request in one transfer, and a refused request sends nothing.
#include <algorithm>
#include <string>

#include "acquisition/record.h"

namespace testbed {
namespace {

using AcquisitionRequestTest = DeviceTest;

const struct Operation {
    const char *name;
    int(ZQLUSB_CALL *call)(OutPutData *);
    std::uint8_t request[4];
} kOperations[] = {
    {"scope record", USBRetrieveScopeData, {0x03, 0x09, 0x00, 0x01}}, // header 33, 0, 1
    {"roll mode", USBRetrieveRollModeData, {0x03, 0x0A, 0x00, 0x3F}},
    {"pre-trigger", USBRetrievePreTriggerData, {0x03, 0x0B, 0x03, 0xFF}},
};

TEST_F(AcquisitionRequestTest, PendingCommandsGoAheadOfTheRequestInOneTransfer) {
    for (const Operation &op : kOperations) {
        SCOPED_TRACE(op.name);
        Restart();
        Open();
        USBWriteAddress(0x21);
        USBWriteData(0x43);
        USBWriteAddress(0x65); // six bytes: a CMD_NOP aligns the request
        Record record;
        record.Header(33, 0, 1);
        op.call(record.data.get());
        const std::uint8_t *r = op.request;
        const Bytes expected = {0x01, 0x21, 0x02, 0x43, 0x01, 0x65, 0x00, 0x00, r[0], r[1], r[2], r[3]};
        ASSERT_EQ(Streams().size(), 1u);
        EXPECT_BYTES(Streams()[0], expected);
        EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{IOCTL_SCOPE_WRITE_STREAM, IOCTL_SCOPE_READ}));
        EXPECT_EQ(Device().registers[0x21], 0x43);
    }
}

TEST_F(AcquisitionRequestTest, ARefusedRequestSendsNothingAndKeepsPendingCommands) {
    const struct {
        const char *context;
        int(ZQLUSB_CALL *call)(OutPutData *);
        bool nullRecord;
        std::uint16_t count, offset, step;
    } cases[] = {
        {"step 0", USBRetrieveScopeData, false, 1, 0, 0},
        {"offset + count 32,769", USBRetrieveScopeData, false, 32768, 1, 1},
        {"offset 32,768", USBRetrieveScopeData, false, 1, 32768, 1},
        {"all 65,535", USBRetrieveScopeData, false, 65535, 65535, 65535},
        {"scope record, null", USBRetrieveScopeData, true, 0, 0, 0},
        {"roll mode, null", USBRetrieveRollModeData, true, 0, 0, 0},
        {"pre-trigger, null", USBRetrievePreTriggerData, true, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.context);
        Restart();
        Open();
        USBWriteData(0x99);
        Record record;
        record.Header(c.count, c.offset, c.step);
        const Bytes before = record.All();
        c.call(c.nullRecord ? nullptr : record.data.get());
        EXPECT_TRUE(Device().transfers.empty());
        EXPECT_BYTES(record.All(), before);
        USBFlushBuffer();
        EXPECT_EQ(Streams(), std::vector<Bytes>{(Bytes{0x02, 0x99})});
    }
}

// The header's request check agrees with what the library refuses, and the
// helper never cuts a value to 16 bits: what does not fit is written as a
// request the library refuses, so the record keeps its points.
TEST_F(AcquisitionRequestTest, TheRequestHelperRefusesWhatDoesNotFit) {
    const struct {
        unsigned count, offset, step;
        int check;
    } cases[] = {
        {70000, 0, 1, ZQLUSB_REQUEST_NOT_16_BITS}, // cut to 16 bits this would be 4,464 points
        {1, 0x10000, 1, ZQLUSB_REQUEST_NOT_16_BITS},
        {1, 0, 0x10001, ZQLUSB_REQUEST_NOT_16_BITS}, // cut: step 1
        {32768, 1, 1, ZQLUSB_REQUEST_PAST_THE_END},
        {0, 32769, 1, ZQLUSB_REQUEST_PAST_THE_END},
        {1, 0, 0, ZQLUSB_REQUEST_NO_STEP},
        {0, 0, 0, ZQLUSB_REQUEST_FITS},
        {32768, 0, 65535, ZQLUSB_REQUEST_FITS},
        {1, 32767, 1, ZQLUSB_REQUEST_FITS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << ", " << c.offset << ", " << c.step);
        EXPECT_EQ(ZqlusbCheckScopeRequest(c.count, c.offset, c.step), c.check);
        EXPECT_NE(std::string(ZqlusbScopeRequestText(c.check)), ZqlusbScopeRequestText(-1));
        Restart();
        Open();
        Record record;
        const Bytes marked = record.All();
        EXPECT_EQ(ZqlusbSetScopeRequest(record.data.get(), c.count, c.offset, c.step), c.check);
        const Bytes requested = record.All();
        USBRetrieveScopeData(record.data.get());
        const bool sent = !Device().transfers.empty();
        EXPECT_EQ(sent, c.check == ZQLUSB_REQUEST_FITS) << "the library refuses exactly what the check refuses";
        if (c.check != ZQLUSB_REQUEST_FITS) {
            EXPECT_BYTES(record.All(), requested);
            EXPECT_TRUE(std::equal(marked.begin() + 6, marked.end(), requested.begin() + 6)) << "only the header";
        }
    }
}

} // namespace
} // namespace testbed
