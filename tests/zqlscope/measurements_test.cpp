// Measurements over frames of the virtual instrument's scripted signals,
// against the signals' exact values; the unit options and the formatting of
// values in counts, points, volts and seconds.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <vector>

#include "signal/measurements.h"
#include "signal/units.h"
#include "virtual_instrument/signal_model.h"

namespace {

using namespace zqlscope::signal;
using Bytes = std::vector<std::uint8_t>;

Bytes Samples(const vi::Generator &g, std::int64_t first, std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = g.At(first + static_cast<std::int64_t>(i));
    }
    return out;
}

struct PeriodicCase {
    const char *name;
    vi::Generator signal;
    std::int64_t first; // where the frame starts in the signal
    std::size_t points;
    int peakToPeak;    // exact, or within 1 for a sine's rounded peaks
    double period;     // within 0.5 points
    double duty;       // percent, within 0.5; negative: not checked
};

TEST(Measurements, ScriptedSignalsMeasureTheirExactValues) {
    const vi::Generator sine{vi::Shape::Sine, 500, 100, 128, 0};
    const vi::Generator square{vi::Shape::Square, 128, 60, 128, 0};
    const std::vector<PeriodicCase> cases = {
        {"sine 500, two periods from a crossing", sine, 0, 1000, 200, 500, -1},
        {"sine 500, from mid-period", sine, 137, 1000, 200, 500, -1},
        {"sine 500 over 4,096 points", sine, 0, 4096, 200, 500, -1},
        {"sine 500 over 32,768 points", sine, 91, 32768, 200, 500, -1},
        {"sine 333, not dividing the frame", {vi::Shape::Sine, 333, 100, 128, 0}, 10, 1000, 200, 333, -1},
        {"sine of small amplitude 10", {vi::Shape::Sine, 250, 10, 128, 0}, 0, 2000, 20, 250, -1},
        {"square 128 (channel B's usual)", square, 0, 1000, 120, 128, 50},
        {"square 128 from mid-period", square, 77, 4096, 120, 128, 50},
        {"square 100", {vi::Shape::Square, 100, 60, 128, 0}, 0, 1000, 120, 100, 50},
        {"square 101, odd: high 51 of 101", {vi::Shape::Square, 101, 60, 128, 0}, 0, 2000, 120, 101, 100.0 * 51 / 101},
        {"triangle 400", {vi::Shape::Triangle, 400, 80, 128, 0}, 0, 2000, 160, 400, 50},
    };
    for (const PeriodicCase &c : cases) {
        SCOPED_TRACE(c.name);
        const Measurements m = Measure(Samples(c.signal, c.first, c.points));
        EXPECT_EQ(m.points, c.points);
        EXPECT_NEAR(m.peakToPeak, c.peakToPeak, 1);
        EXPECT_EQ(m.peakToPeak, m.max - m.min);
        ASSERT_TRUE(m.period.has_value());
        EXPECT_NEAR(*m.period, c.period, 0.5);
        ASSERT_TRUE(m.frequency.has_value());
        EXPECT_DOUBLE_EQ(*m.frequency, 1 / *m.period);
        ASSERT_TRUE(m.duty.has_value());
        if (c.duty >= 0) {
            EXPECT_NEAR(*m.duty, c.duty, 0.5);
        }
    }
}

// Whole periods of a sine about 128: mean 128, RMS about 128 the amplitude
// over the square root of 2, RMS about 0 from both.
TEST(Measurements, MeanAndRmsOfWholePeriods) {
    const Measurements sine = Measure(Samples({vi::Shape::Sine, 500, 100, 128, 0}, 0, 5000));
    EXPECT_NEAR(sine.mean, 128, 0.01);
    EXPECT_NEAR(sine.Rms(128), 100 / std::sqrt(2.0), 0.05);
    EXPECT_NEAR(sine.Rms(0), std::sqrt(128.0 * 128 + 5000), 0.05);
    EXPECT_EQ(sine.min, 28);
    EXPECT_EQ(sine.max, 228);
    const Measurements square = Measure(Samples({vi::Shape::Square, 128, 60, 128, 0}, 0, 1024));
    EXPECT_DOUBLE_EQ(square.mean, 128);
    EXPECT_DOUBLE_EQ(square.Rms(128), 60);
    EXPECT_DOUBLE_EQ(square.Rms(68), 60 * std::sqrt(2.0));
}

// No period rather than a wrong one.
TEST(Measurements, NoPeriodWithoutAFullPeriod) {
    const vi::Generator sine{vi::Shape::Sine, 500, 100, 128, 0};
    const struct {
        const char *name;
        Bytes frame;
    } cases[] = {
        {"less than a period of a sine", Samples(sine, 0, 400)},
        {"half a period", Samples(sine, 100, 300)},
        {"a flat signal", Bytes(1000, 128)},
        {"noise of 1 count", Samples({vi::Shape::Noise, 1, 1, 128, 7}, 0, 1000)},
        {"one step", Samples({vi::Shape::Square, 2000, 60, 128, 0}, 0, 1500)},
        {"a single point", Bytes{200}},
    };
    for (const auto &c : cases) {
        const Measurements m = Measure(c.frame);
        EXPECT_FALSE(m.period) << c.name;
        EXPECT_FALSE(m.frequency) << c.name;
        EXPECT_FALSE(m.duty) << c.name;
    }
    const Measurements empty = Measure({});
    EXPECT_EQ(empty.points, 0u);
    EXPECT_EQ(empty.Rms(), 0);
}

// Noise of up to 6 counts on the sine must not add crossings: the
// hysteresis is a tenth of the peak-to-peak.
TEST(Measurements, NoiseDoesNotBreakThePeriod) {
    const vi::Generator sine{vi::Shape::Sine, 500, 90, 128, 0};
    const vi::Generator noise{vi::Shape::Noise, 1, 6, 6, 3}; // 0 to 12
    Bytes frame = Samples(sine, 0, 3000);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(frame[i] + noise.At(static_cast<std::int64_t>(i)) - 6);
    }
    const Measurements m = Measure(frame);
    ASSERT_TRUE(m.period);
    EXPECT_NEAR(*m.period, 500, 2.0);
    EXPECT_NEAR(*m.duty, 50, 1.0);
}

TEST(Units, ParsesTheThreeOptions) {
    Units units;
    EXPECT_EQ(ParseUnitOption("--sample-rate", "250k", units), "");
    EXPECT_DOUBLE_EQ(*units.sampleRate, 250e3);
    EXPECT_EQ(ParseUnitOption("--sample-rate", "1e6", units), "");
    EXPECT_DOUBLE_EQ(*units.sampleRate, 1e6);
    EXPECT_EQ(ParseUnitOption("--volts-per-count", "A=0.01,b=0.5", units), "");
    EXPECT_DOUBLE_EQ(*units.a.voltsPerCount, 0.01);
    EXPECT_DOUBLE_EQ(*units.b.voltsPerCount, 0.5);
    EXPECT_EQ(ParseUnitOption("--zero-count", "B=127.5", units), "");
    EXPECT_DOUBLE_EQ(units.b.zeroCount, 127.5);
    EXPECT_DOUBLE_EQ(units.a.zeroCount, 0) << "a channel left out keeps its zero";

    const struct {
        const char *option, *value, *says;
    } mistakes[] = {
        {"--sample-rate", "fast", "--sample-rate 'fast' is not a rate in hertz above 0"},
        {"--sample-rate", "0", "above 0"},
        {"--sample-rate", "-5", "above 0"},
        {"--sample-rate", "1e999", "is not a rate"},
        {"--sample-rate", "10 k", "is not a rate"},
        {"--sample-rate", "", "is not a rate"},
        {"--volts-per-count", "0.01", "--volts-per-count '0.01' is not A=VALUE,B=VALUE"},
        {"--volts-per-count", "C=1", "the channels are A and B"},
        {"--volts-per-count", "A=1,A=2", "channel A is given twice"},
        {"--volts-per-count", "A=0", "'0' is not a number of volts above 0"},
        {"--volts-per-count", "A=x", "'x' is not a number"},
        {"--volts-per-count", "A=1,", "is not A=VALUE,B=VALUE"},
        {"--zero-count", "A=256", "'256' is not a count from 0 to 255"},
        {"--zero-count", "B=-1", "is not a count from 0 to 255"},
    };
    for (const auto &m : mistakes) {
        Units untouched = units;
        const std::string error = ParseUnitOption(m.option, m.value, untouched);
        EXPECT_NE(error.find(m.says), std::string::npos) << m.option << " " << m.value << ": " << error;
        EXPECT_EQ(untouched.sampleRate, units.sampleRate);
        EXPECT_EQ(untouched.a.voltsPerCount, units.a.voltsPerCount) << "a refused value changes nothing";
    }
}

TEST(Units, FormatsWithEngineeringPrefixes) {
    const struct {
        double value;
        const char *unit, *text;
    } cases[] = {
        {0.001234, "V", "1.234 mV"},    {-0.5, "V", "-500.0 mV"},      {2000, "Hz", "2.000 kHz"},
        {5e-7, "s", "500.0 ns"},        {0.0005, "s", "500.0 µs"},     {999.96, "Hz", "1.000 kHz"},
        {12.5e6, "Hz", "12.50 MHz"},    {0, "V", "0 V"},               {1, "V", "1.000 V"},
        {999.4, "V", "999.4 V"},        {128, "counts", "128 counts"}, {146.2384, "counts", "146.238 counts"},
        {0.002, "/point", "0.002 /point"}, {50, "%", "50 %"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(FormatValue(c.value, c.unit), c.text);
    }
}

TEST(Units, ConvertCountsAndPoints) {
    Units units;
    EXPECT_EQ(Level(units, Channel::A, 200), 200) << "counts as they are";
    EXPECT_EQ(Duration(units, 500), 500) << "points as they are";
    ASSERT_EQ(ParseUnitOption("--volts-per-count", "A=0.01", units), "");
    ASSERT_EQ(ParseUnitOption("--zero-count", "A=128,B=100", units), "");
    ASSERT_EQ(ParseUnitOption("--sample-rate", "1M", units), "");
    EXPECT_DOUBLE_EQ(Level(units, Channel::A, 228), 1.0);
    EXPECT_DOUBLE_EQ(Span(units, Channel::A, 200), 2.0);
    EXPECT_DOUBLE_EQ(Level(units, Channel::B, 150), 50) << "a zero alone shifts the counts";
    EXPECT_DOUBLE_EQ(Duration(units, 500), 500e-6);
    EXPECT_DOUBLE_EQ(Rate(units, 0.002), 2000);
    EXPECT_EQ(LevelUnit(units, Channel::A), "V");
    EXPECT_EQ(LevelUnit(units, Channel::B), "counts");
}

// The table the command line prints and the rows the page shows.
TEST(MeasurementTable, RowsInCountsAndInVolts) {
    const Measurements sine = Measure(Samples({vi::Shape::Sine, 500, 100, 128, 0}, 0, 1000));
    const Measurements flat = Measure(Bytes(1000, 128));
    Units units;
    std::vector<MeasurementRow> rows = MeasurementRows(Channel::A, sine, units);
    std::vector<std::string> keys;
    for (const MeasurementRow &r : rows) {
        keys.push_back(r.key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"a-min", "a-max", "a-pp", "a-mean", "a-rms", "a-period", "a-freq",
                                              "a-duty"}));
    EXPECT_EQ(rows[2].value, "200 counts");
    EXPECT_EQ(rows[5].value, "500 points");
    EXPECT_EQ(MeasurementRows(Channel::B, flat, units)[5].value, "—");
    EXPECT_EQ(MeasurementRows(Channel::B, flat, units)[0].key, "b-min");

    ASSERT_EQ(ParseUnitOption("--volts-per-count", "A=0.01", units), "");
    ASSERT_EQ(ParseUnitOption("--zero-count", "A=128", units), "");
    ASSERT_EQ(ParseUnitOption("--sample-rate", "1M", units), "");
    rows = MeasurementRows(Channel::A, sine, units);
    EXPECT_EQ(rows[0].value, "-1.000 V");
    EXPECT_EQ(rows[2].value, "2.000 V");
    EXPECT_EQ(rows[4].value, "707.2 mV") << "70.72 counts: the rounded samples";
    EXPECT_EQ(rows[5].value, "500.0 µs");
    EXPECT_EQ(rows[6].value, "2.000 kHz");

    std::ostringstream table;
    WriteMeasurementTable(table, sine, flat, units);
    EXPECT_NE(table.str().find("time in seconds at 1.000 MHz"), std::string::npos) << table.str();
    EXPECT_NE(table.str().find("peak-to-peak  2.000 V    0 counts"), std::string::npos) << table.str();
}

} // namespace
