// USBRetrievePreTriggerData: 32,000 points from received byte 1,536 on, at
// the start of both channels; indices from 32,000 on keep the marker.
#include "acquisition/record.h"
#include "tests/reference/placement.h"

namespace testbed {
namespace {

using PreTriggerTest = DeviceTest;

constexpr std::size_t kLead = reference::kPreTriggerLead;

// The record after a retrieval from `before`, point j of the reply given by
// `point` (the lead is left zero: it has no effect), placed as the reference
// model places it.
Bytes Expected(const Bytes &before, const std::function<vi::Point(std::size_t)> &point) {
    Bytes reply(kLead);
    const Bytes points = Received(ZQLUSB_PRETRIGGER_POINTS, point);
    reply.insert(reply.end(), points.begin(), points.end());
    return Changed(before, [&](OutPutData &r) { reference::PlacePreTrigger(reply.data(), r); });
}

TEST_F(PreTriggerTest, PointsStartAtReceivedByte1536AndTheLeadHasNoEffect) {
    for (std::uint32_t lead : {0xDEADBEEFu, 0x00000000u, 0xFFFFFFFFu, 0x80C54000u}) {
        SCOPED_TRACE(testing::Message() << "lead word " << std::hex << lead);
        Restart();
        Open();
        Device().acquisition.preTriggerLeadWord = lead;
        Record record;
        const Bytes before = record.All();
        USBRetrievePreTriggerData(record.data.get());
        const vi::AcquisitionMemory &memory = Device().acquisition;
        EXPECT_BYTES(record.All(), Expected(before, [&](std::size_t j) { return memory.PreTriggerPoint(j); }));
        ASSERT_EQ(Streams().size(), 1u);
        EXPECT_BYTES(Streams()[0], (Bytes{0x03, 0x0B, 0x03, 0xFF}));
        const Bytes received = Reads().at(0);
        ASSERT_EQ(received.size(), reference::kPreTriggerReplySize);
        EXPECT_EQ(record.At(0), (vi::Point{received[kLead], received[kLead + 1]}));
        EXPECT_EQ(record.At(ZQLUSB_PRETRIGGER_POINTS - 1), (vi::Point{received[65534], received[65535]}));
    }
}

TEST_F(PreTriggerTest, WithoutAReadCopiesTheReceiveBuffersEarlierContent) {
    Record first; // never opened: zeros from the load-time buffer
    Bytes before = first.All();
    USBRetrievePreTriggerData(first.data.get());
    EXPECT_BYTES(first.All(), Expected(before, [](std::size_t) { return vi::Point{0, 0}; }));

    Open();
    Record scratch;
    USBRetrievePreTriggerData(scratch.data.get());
    const vi::AcquisitionMemory earlier = Device().acquisition;
    Device().acquisition.captureStart = 777;
    Device().faults.failWrites = 2;
    Device().transfers.clear();
    for (int call = 0; call < 2; ++call) {
        Record record;
        before = record.All();
        USBRetrievePreTriggerData(record.data.get());
        EXPECT_BYTES(record.All(), Expected(before, [&](std::size_t j) { return earlier.PreTriggerPoint(j); }));
    }
    EXPECT_EQ(Codes(), (std::vector<std::uint32_t>{IOCTL_SCOPE_WRITE_STREAM, IOCTL_SCOPE_WRITE_STREAM}));

    Device().faults.deliverAtMost = kLead + 200; // 100 new points
    Record record;
    before = record.All();
    USBRetrievePreTriggerData(record.data.get());
    const vi::AcquisitionMemory now = Device().acquisition;
    EXPECT_BYTES(record.All(), Expected(before, [&](std::size_t j) {
                     return j < 100 ? now.PreTriggerPoint(j) : earlier.PreTriggerPoint(j);
                 }));
}

} // namespace
} // namespace testbed
