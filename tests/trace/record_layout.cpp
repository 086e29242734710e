// The bytes of a trace that readers rely on: the file's head byte for byte,
// every block exactly as long as its data, record times from the system
// clock, the roll record's changed bytes, and a driver that overstates what
// it returned.
#include <ctime>
#include <set>

#include "trace/trace_fixture.h"

namespace tracetest {
namespace {

// The system clock the library's timestamps come from, in nanoseconds since 1970.
std::uint64_t ClockNow() {
#if defined(_WIN32)
    constexpr std::uint64_t kTo1970 = 116444736000000000u; // 100 ns ticks from 1601 to 1970
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return ((std::uint64_t{now.dwHighDateTime} << 32 | now.dwLowDateTime) - kTo1970) * 100;
#else
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
#endif
}

std::size_t Padded(std::size_t length) {
    return (length + 3) / 4 * 4;
}

// The section header and interface description every trace starts with.
Bytes ExpectedHead() {
    const std::string application = "zqlusb " ZQLUSB_TEST_VERSION " trace";
    const std::size_t section = 24 + 4 + Padded(application.size()) + 4 + 4;
    Bytes head = Le32(0x0A0D0D0A);
    Put(head, Le32(static_cast<std::uint32_t>(section)));
    Put(head, Le32(0x1A2B3C4D));
    Put(head, {1, 0, 0, 0});       // version 1.0
    Put(head, Le64(~0ull));        // section length unknown
    Put(head, {4, 0, static_cast<std::uint8_t>(application.size()), 0});
    Put(head, Bytes(application.begin(), application.end()));
    head.resize(head.size() + Padded(application.size()) - application.size(), 0);
    Put(head, {0, 0, 0, 0});       // end of options
    Put(head, Le32(static_cast<std::uint32_t>(section)));
    Put(head, {1, 0, 0, 0, 32, 0, 0, 0, 252, 0, 0, 0, 0, 0, 0, 0}); // interface: exported PDUs, no snapshot limit
    Put(head, {9, 0, 1, 0, 9, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0, 0});  // nanoseconds, end of options, length
    return head;
}

TEST_F(TraceTest, TheHeadIsKnownAndEveryBlockHoldsItsDataPaddedAndNothingMore) {
    ASSERT_EQ(USBInitDevice(), 0);
    allowProtocolErrors = true; // bit streams too short for the FPGA: only their records matter
    for (unsigned char length = 1; length <= 8; ++length) {
        const Bytes stream(length, 0x5A);
        USBLoadFPGA(stream.data(), length);
    }
    Finish();
    const Bytes file = FileBytes(path);
    const Bytes head = ExpectedHead();
    ASSERT_GE(file.size(), head.size());
    EXPECT_BYTES(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(head.size())), head);
    std::set<std::size_t> remainders;
    for (std::size_t at = head.size(); at < file.size();) {
        ASSERT_GE(file.size() - at, 32u) << "block at " << at;
        const std::uint32_t length = U32(&file[at + 4]);
        const std::uint32_t captured = U32(&file[at + 20]);
        remainders.insert(captured % 4);
        ASSERT_EQ(length, 28 + Padded(captured) + 4) << "block at " << at << " holding " << captured << " bytes";
        ASSERT_LE(length, file.size() - at);
        for (std::size_t pad = at + 28 + captured; pad < at + 28 + Padded(captured); ++pad) {
            EXPECT_EQ(file[pad], 0) << "padding at " << pad;
        }
        EXPECT_EQ(U32(&file[at + length - 4]), length);
        at += length;
    }
    EXPECT_EQ(remainders.size(), 4u) << "records of every length modulo 4 were written";
}

TEST_F(TraceTest, RecordTimesComeFromTheClockAndNeverGoBack) {
    const std::uint64_t before = ClockNow();
    ASSERT_EQ(USBInitDevice(), 0);
    std::unique_ptr<OutPutData> record(new OutPutData());
    for (int i = 0; i < 20; ++i) {
        USBReadData();
        USBRetrieveRollModeData(record.get());
    }
    const Trace t = Finish();
    const std::uint64_t after = ClockNow();
    ASSERT_GT(t.records.size(), 40u);
    for (std::size_t i = 0; i < t.records.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(t.records[i].number));
        EXPECT_GE(t.records[i].time, before);
        EXPECT_LE(t.records[i].time, after);
        if (i != 0) {
            EXPECT_GE(t.records[i].time, t.records[i - 1].time);
        }
    }
}

TEST_F(TraceTest, TheRollRecordHoldsTheCountTheFlagAndThePointsOfBothChannels) {
    ASSERT_EQ(USBInitDevice(), 0);
    std::unique_ptr<OutPutData> record(new OutPutData());
    ASSERT_EQ(USBRetrieveRollModeData(record.get()), 0);
    const std::size_t points = record->TempBufferA[0] | (record->TempBufferA[1] << 8);
    ASSERT_GT(points, 0u);
    const Trace t = Finish();
    const std::vector<Bytes> changed = Of(t, kExportCall, 17).at(0).All(kBytesChanged);
    ASSERT_EQ(changed.size(), 2u);
    Bytes a = Le32(0), b = Le32(ZQLUSB_CHANNEL_POINTS);
    a.insert(a.end(), record->TempBufferA, record->TempBufferA + 2 + points);
    b.insert(b.end(), record->TempBufferB, record->TempBufferB + 2 + points);
    EXPECT_BYTES(changed[0], a);
    EXPECT_BYTES(changed[1], b);
}

// The returned count is recorded as the driver stated it; the bytes only as
// far as the output buffer goes.
TEST_F(TraceTest, AnOverstatedCountIsRecordedButNoBytesBeyondTheBuffer) {
    ASSERT_EQ(USBInitDevice(), 0);
    constexpr std::uint32_t kOverstated = 4096;
    Device().faults.overstateCount = kOverstated;
    Device().transfers.clear();
    USBReadData();
    std::unique_ptr<OutPutData> record(new OutPutData());
    USBRetrieveRollModeData(record.get());
    const std::vector<vi::Transfer> transfers = Device().transfers;
    const Trace t = Finish();
    std::vector<Record> reads;
    for (const Record &r : Of(t, kPlatformCall, kDeviceIoControl)) {
        if (r.Arguments().at(1) == testbed::IOCTL_SCOPE_READ) {
            reads.push_back(r);
        }
    }
    std::vector<vi::Transfer> seen;
    for (const vi::Transfer &transfer : transfers) {
        if (transfer.code == testbed::IOCTL_SCOPE_READ) {
            seen.push_back(transfer);
        }
    }
    ASSERT_EQ(reads.size(), seen.size());
    ASSERT_FALSE(reads.empty());
    for (std::size_t i = 0; i < reads.size(); ++i) {
        SCOPED_TRACE("read " + std::to_string(i));
        const std::uint64_t outLength = reads[i].Arguments().at(3);
        ASSERT_EQ(reads[i].Word(kReturnedLength), seen[i].returned);
        ASSERT_GT(seen[i].returned, outLength) << "the driver states more than the buffer holds";
        const Bytes changed = reads[i].One(kBytesChanged);
        ASSERT_EQ(changed.size(), 4 + outLength);
        EXPECT_BYTES(Bytes(changed.begin() + 4, changed.begin() + 4 + static_cast<std::ptrdiff_t>(seen[i].bytes.size())),
                     seen[i].bytes);
    }
}

} // namespace
} // namespace tracetest
