// The virtual instrument in capture mode free-runs: each record starts
// later in the signal, so untriggered records wander and records placed by
// the software trigger stand still; scripts set the dead time between
// records, hold the records still, and set periods that do not divide the
// record length.
#include "acquisition/record.h"
#include "signal/measurements.h"
#include "signal/trigger.h"
#include "virtual_instrument/script.h"

namespace testbed {
namespace {

using FreeRunningTest = DeviceTest;

// 2,048 points: a whole number of packets, so the record is all the
// instrument sends.
constexpr std::uint16_t kRecord = 2048;

struct Channels {
    std::vector<std::uint8_t> a, b;
};

Channels Capture() {
    Record record;
    record.Header(kRecord, 0, 1);
    USBRetrieveScopeData(record.data.get());
    return {{record.data->TempBufferA, record.data->TempBufferA + kRecord},
            {record.data->TempBufferB, record.data->TempBufferB + kRecord}};
}

Channels Signal(const vi::AcquisitionMemory &memory, std::int64_t start) {
    Channels c;
    for (std::int64_t k = 0; k < kRecord; ++k) {
        c.a.push_back(memory.channelA.At(start + k));
        c.b.push_back(memory.channelB.At(start + k));
    }
    return c;
}

void Apply(const std::string &text) {
    std::string error;
    const std::optional<vi::Script> script = vi::ParseScript(text, &error);
    ASSERT_TRUE(script) << error;
    vi::ApplyScript(vi::Device(), *script);
}

TEST_F(FreeRunningTest, EachRecordStartsWhereTheLastEndedPlusTheGap) {
    const struct {
        const char *script;
        std::int64_t step; // from one record's start to the next
    } cases[] = {
        {"", kRecord + vi::AcquisitionMemory::kDefaultCaptureGap},
        {"capture gap=0", kRecord},
        {"capture gap=500", kRecord + 500},
        {"capture still", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        Restart();
        Apply(c.script);
        Open();
        for (std::int64_t n = 0; n < 4; ++n) {
            const Channels got = Capture();
            const Channels want = Signal(Device().acquisition, n * c.step);
            EXPECT_EQ(got.a, want.a) << "record " << n;
            EXPECT_EQ(got.b, want.b) << "record " << n;
        }
    }
}

// The pre-trigger memory holds the points before the last record.
TEST_F(FreeRunningTest, ThePretriggerMemoryPrecedesTheLastRecord) {
    Open();
    Capture();
    Capture();
    Record memory;
    USBRetrievePreTriggerData(memory.data.get());
    const std::int64_t start = kRecord + vi::AcquisitionMemory::kDefaultCaptureGap;
    for (std::size_t j = 0; j < ZQLUSB_PRETRIGGER_POINTS; j += 101) {
        const std::int64_t at = start - ZQLUSB_PRETRIGGER_POINTS + static_cast<std::int64_t>(j);
        ASSERT_EQ(memory.At(j), (vi::Point{Device().acquisition.channelA.At(at), Device().acquisition.channelB.At(at)}))
            << j;
    }
}

// Untriggered, successive records differ; placed by their first rising
// crossing of 128, the frames are the same every time.
TEST_F(FreeRunningTest, UntriggeredRecordsWanderTriggeredFramesStandStill) {
    Open();
    zqlscope::signal::Edge edge;
    constexpr std::size_t kFrame = 1000;
    std::vector<std::vector<std::uint8_t>> records, frames;
    for (int n = 0; n < 5; ++n) {
        const Channels c = Capture();
        records.push_back(c.a);
        const auto placed = zqlscope::signal::PlaceRecord(c.a, edge, kFrame, 50);
        ASSERT_TRUE(placed) << "record " << n;
        ASSERT_GE(placed->start, 0);
        frames.emplace_back(c.a.begin() + placed->start, c.a.begin() + placed->start + kFrame);
    }
    for (int n = 1; n < 5; ++n) {
        EXPECT_NE(records[n], records[n - 1]) << "record " << n << " repeats the one before";
        EXPECT_EQ(frames[n], frames[0]) << "frame " << n;
    }
}

// Periods that divide neither the record nor the gap, measured on records.
TEST_F(FreeRunningTest, ScriptedPeriodsNeedNotDivideTheRecord) {
    Apply("a sine period=333 amplitude=100; b square period=77 amplitude=50");
    Open();
    for (int n = 0; n < 3; ++n) {
        const Channels c = Capture();
        const auto a = zqlscope::signal::Measure(c.a);
        const auto b = zqlscope::signal::Measure(c.b);
        ASSERT_TRUE(a.period && b.period && b.duty);
        EXPECT_NEAR(*a.period, 333, 0.5) << "record " << n;
        EXPECT_NEAR(*b.period, 77, 0.5) << "record " << n;
        EXPECT_NEAR(*b.duty, 100.0 * 39 / 77, 0.5) << "39 of each 77 points high";
        EXPECT_NEAR(a.peakToPeak, 200, 1);
    }
}

} // namespace
} // namespace testbed
