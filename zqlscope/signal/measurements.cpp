// Measurements over a frame and the table that shows them.
#include "measurements.h"

#include <algorithm>
#include <cmath>
#include <ostream>

namespace zqlscope::signal {

double Measurements::Rms(double zeroCount) const {
    if (points == 0) {
        return 0;
    }
    // mean((c - z)^2) = mean(c^2) - 2 z mean(c) + z^2
    return std::sqrt(std::max(0.0, meanSquare - 2 * zeroCount * mean + zeroCount * zeroCount));
}

namespace {

// Sums kept in 64 bits: 255^2 times any frame that fits in memory.
struct Sums {
    std::uint8_t min = 255, max = 0;
    std::uint64_t sum = 0, squares = 0;
};

Sums Add(std::span<const std::uint8_t> frame) {
    Sums s;
    for (const std::uint8_t v : frame) {
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
        s.sum += v;
        s.squares += static_cast<std::uint32_t>(v) * v;
    }
    return s;
}

// The mid-level crossings of one slope, each placed between its two samples
// by linear interpolation (sample i - 1 lies on the near side of mid, i on
// the far side).
struct Crossings {
    std::vector<std::size_t> at; // the samples on the far side
    double first = 0, last = 0;  // interpolated positions of the first and last
};

Crossings MidCrossings(std::span<const std::uint8_t> frame, Slope slope, double mid, int hysteresis) {
    Edge edge;
    edge.slope = slope;
    // Rising fires at >= level, falling at <= level: both mean "past mid".
    const int level = static_cast<int>(std::ceil(mid)) - (slope == Slope::Falling ? 1 : 0);
    edge.level = static_cast<std::uint8_t>(level);
    edge.hysteresis = static_cast<std::uint8_t>(hysteresis);
    CrossingState state;
    Crossings c;
    c.at = FindCrossings(frame, edge, state);
    auto place = [&](std::size_t i) {
        const double before = frame[i - 1], after = frame[i];
        return static_cast<double>(i - 1) + (mid - before) / (after - before);
    };
    if (!c.at.empty()) {
        c.first = place(c.at.front());
        c.last = place(c.at.back());
    }
    return c;
}

// The period from both slopes' crossings: every interval between two
// successive crossings of the same slope is one period; their mean. The duty
// from the samples at or above mid over the whole periods of one slope.
void Periodic(std::span<const std::uint8_t> frame, Measurements &m) {
    if (m.peakToPeak < kMinPeriodicSwing) {
        return;
    }
    const double mid = (m.min + m.max) / 2.0;
    const int hysteresis = std::max(1, m.peakToPeak / 10);
    const Crossings rising = MidCrossings(frame, Slope::Rising, mid, hysteresis);
    const Crossings falling = MidCrossings(frame, Slope::Falling, mid, hysteresis);
    const std::size_t intervals = (rising.at.size() > 1 ? rising.at.size() - 1 : 0) +
                                  (falling.at.size() > 1 ? falling.at.size() - 1 : 0);
    if (intervals == 0) {
        return;
    }
    m.period = ((rising.last - rising.first) + (falling.last - falling.first)) / static_cast<double>(intervals);
    m.frequency = 1 / *m.period;
    const Crossings &whole = rising.at.size() > 1 ? rising : falling;
    const auto span = frame.subspan(whole.at.front(), whole.at.back() - whole.at.front());
    const auto high = std::count_if(span.begin(), span.end(), [&](std::uint8_t v) { return v >= mid; });
    m.duty = 100.0 * static_cast<double>(high) / static_cast<double>(span.size());
}

} // namespace

Measurements Measure(std::span<const std::uint8_t> frame) {
    Measurements m;
    m.points = frame.size();
    if (frame.empty()) {
        return m;
    }
    const Sums s = Add(frame);
    m.min = s.min;
    m.max = s.max;
    m.peakToPeak = s.max - s.min;
    m.mean = static_cast<double>(s.sum) / static_cast<double>(frame.size());
    m.meanSquare = static_cast<double>(s.squares) / static_cast<double>(frame.size());
    Periodic(frame, m);
    return m;
}

namespace {

// The table's "no value".
constexpr const char *kNone = "—";

std::string Optional(const std::optional<double> &value, double (*convert)(const Units &, double), const Units &units,
                     const std::string &unit) {
    return value ? FormatValue(convert(units, *value), unit) : kNone;
}

} // namespace

std::vector<MeasurementRow> MeasurementRows(Channel channel, const Measurements &m, const Units &units) {
    const std::string prefix = channel == Channel::A ? "a-" : "b-";
    const std::string level = LevelUnit(units, channel);
    const double zero = units.Scale(channel).zeroCount;
    auto row = [&](const char *key, const char *label, std::string value) {
        return MeasurementRow{prefix + key, label, m.points == 0 ? kNone : std::move(value)};
    };
    return {
        row("min", "minimum", FormatValue(Level(units, channel, m.min), level)),
        row("max", "maximum", FormatValue(Level(units, channel, m.max), level)),
        row("pp", "peak-to-peak", FormatValue(Span(units, channel, m.peakToPeak), level)),
        row("mean", "mean", FormatValue(Level(units, channel, m.mean), level)),
        row("rms", "RMS", FormatValue(Span(units, channel, m.Rms(zero)), level)),
        row("period", "period", Optional(m.period, Duration, units, TimeUnit(units))),
        row("freq", "frequency", Optional(m.frequency, Rate, units, RateUnit(units))),
        row("duty", "duty cycle", m.duty ? FormatValue(*m.duty, "%") : kNone),
    };
}

namespace {

// Columns a UTF-8 text takes on a terminal ("—" and "µ" are one each).
std::size_t Width(const std::string &text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string Padded(const std::string &text, std::size_t width) {
    return text + std::string(width - std::min(width, Width(text)), ' ');
}

} // namespace

void WriteMeasurementTable(std::ostream &out, const Measurements &a, const Measurements &b, const Units &units) {
    const std::vector<MeasurementRow> rowsA = MeasurementRows(Channel::A, a, units);
    const std::vector<MeasurementRow> rowsB = MeasurementRows(Channel::B, b, units);
    constexpr std::size_t kGap = 2; // spaces between columns
    std::size_t label = 0, value = Width("channel A");
    for (const MeasurementRow &r : rowsA) {
        label = std::max(label, Width(r.label));
        value = std::max(value, Width(r.value));
    }
    label += kGap;
    value += kGap;
    out << "measurements over " << a.points << " points; " << AxesNote(units) << "\n";
    out << Padded("", label) << Padded("channel A", value) << "channel B\n";
    for (std::size_t i = 0; i < rowsA.size(); ++i) {
        out << Padded(rowsA[i].label, label) << Padded(rowsA[i].value, value) << rowsB[i].value << '\n';
    }
}

} // namespace zqlscope::signal
