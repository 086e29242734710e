// USBRetrieveScopeData: the request for the header's span, the points at the
// positions DataOffset and Step select, and the receive buffer's earlier
// content when no read is made.
#include "acquisition/record.h"
#include "tests/reference/placement.h"

namespace testbed {
namespace {

using ScopeRecordTest = DeviceTest;

using Span = reference::ScopeSpan;

// The record after a retrieval of `span` from `before`, point k of the reply
// given by `point`, placed as the reference model places it.
Bytes Expected(const Bytes &before, Span span, const std::function<vi::Point(std::size_t)> &point) {
    const Bytes received = Received(span.count, point);
    return Changed(before, [&](OutPutData &r) { reference::PlaceScopeSpan(received.data(), span, r); });
}

TEST_F(ScopeRecordTest, RequestsTheSpanAndPlacesPointsWhereOffsetAndStepSelect) {
    const struct {
        Span span;
        std::uint8_t high, low; // the packet count the request carries
        std::uint32_t readLength;
    } cases[] = {
        {{32768, 0, 1}, 0x03, 0xFF, 65536}, // both arrays filled; the header overwritten by points 0 to 5
        {{5, 0, 2}, 0x00, 0x00, 64},        // points at 0, 2, 4; bytes 1, 3, 5 keep the header's high bytes
        {{1000, 100, 3}, 0x00, 0x1F, 2048}, {{32, 6, 32}, 0x00, 0x00, 64},   {{33, 20, 100}, 0x00, 0x01, 128},
        {{100, 32668, 1}, 0x00, 0x03, 256}, {{1, 32767, 1}, 0x00, 0x00, 64}, {{0, 50, 0}, 0xFF, 0xFF, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "count " << c.span.count << " offset " << c.span.offset << " step "
                                        << c.span.step);
        Restart();
        Open();
        Record record;
        record.Header(c.span.count, c.span.offset, c.span.step);
        const Bytes before = record.All();
        USBRetrieveScopeData(record.data.get());
        const vi::AcquisitionMemory &memory = Device().acquisition;
        EXPECT_BYTES(record.All(), Expected(before, c.span, [&](std::size_t k) { return memory.CapturePoint(k); }));
        EXPECT_EQ(Streams(), std::vector<Bytes>{(Bytes{0x03, 0x09, c.high, c.low})});
        ASSERT_EQ(Codes(), (std::vector<std::uint32_t>{IOCTL_SCOPE_WRITE_STREAM, IOCTL_SCOPE_READ}));
        EXPECT_EQ(Device().TransfersOf(IOCTL_SCOPE_READ)[0].inLength, c.readLength);
    }
}

TEST_F(ScopeRecordTest, Step1SpansOfEveryLengthAroundTheCopysBlocksAtUnevenOffsets) {
    Open();
    const vi::AcquisitionMemory &memory = Device().acquisition;
    for (std::uint16_t count = 1; count <= 100; ++count) {
        const Span span = {count, static_cast<std::uint16_t>(6 + count % 9), 1};
        SCOPED_TRACE(testing::Message() << "count " << span.count << " offset " << span.offset);
        Record record(static_cast<std::uint8_t>(count));
        record.Header(span.count, span.offset, span.step);
        const Bytes before = record.All();
        USBRetrieveScopeData(record.data.get());
        ASSERT_BYTES(record.All(), Expected(before, span, [&](std::size_t k) { return memory.CapturePoint(k); }));
    }
}

TEST_F(ScopeRecordTest, WithoutAReadCopiesTheReceiveBuffersEarlierContent) {
    // Never opened: the request's flush fails, and the buffer holds zeros.
    Record first;
    first.Header(40, 8, 1);
    Bytes before = first.All();
    USBRetrieveScopeData(first.data.get());
    EXPECT_BYTES(first.All(), Expected(before, {40, 8, 1}, [](std::size_t) { return vi::Point{0, 0}; }));
    EXPECT_EQ(Codes(), std::vector<std::uint32_t>(WithoutHandle(1), IOCTL_SCOPE_WRITE_STREAM));

    Open();
    Record full;
    full.Header(32768, 0, 1);
    USBRetrieveScopeData(full.data.get());
    const vi::AcquisitionMemory earlier = Device().acquisition;
    Device().acquisition.captureStart = 5000; // a new read would show other points
    Device().faults.failWrites = 2;
    Device().transfers.clear();
    for (int call = 0; call < 2; ++call) {
        Record record;
        record.Header(300, 40, 2);
        before = record.All();
        USBRetrieveScopeData(record.data.get());
        EXPECT_BYTES(record.All(),
                     Expected(before, {300, 40, 2}, [&](std::size_t k) { return earlier.CapturePoint(k); }));
    }
    EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{IOCTL_SCOPE_WRITE_STREAM, IOCTL_SCOPE_WRITE_STREAM}));
}

} // namespace
} // namespace testbed
