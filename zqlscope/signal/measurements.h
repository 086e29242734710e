// Measurements of one channel over a frame of sample bytes, and the table
// that shows them (the command line prints it; the live screen shows the
// same rows, named by their data-measure keys).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "units.h"
#include "trigger.h"

namespace zqlscope::signal {

// In counts and points; convert with Units. The period and what follows from
// it are given only when the frame holds at least one full period.
struct Measurements {
    std::size_t points = 0;
    std::uint8_t min = 0, max = 0;
    int peakToPeak = 0;     // max - min
    double mean = 0;        // counts
    double meanSquare = 0;  // of the counts themselves, for RMS about any zero
    std::optional<double> period;    // points, averaged over every full period in the frame
    std::optional<double> frequency; // cycles per point: 1 / period
    std::optional<double> duty;      // percent of each period at or above the mid-level
    // Root mean square of (count - zero) over the frame.
    double Rms(double zeroCount = 0) const;
};

// Measures a frame (an empty frame gives points = 0 and nothing else). The
// period is the mean spacing of successive crossings of the mid-level
// (halfway between min and max) of the same slope, rising and falling alike,
// each found with a hysteresis of a tenth of the peak-to-peak (at least 1
// count) and placed between its two samples by linear interpolation; the
// duty is the share of samples at or above the mid-level over the whole
// periods between the first and last crossing of one slope. A frame with
// less swing than kMinPeriodicSwing, or without two crossings of one slope,
// has no period.
Measurements Measure(std::span<const std::uint8_t> frame);

// Peak-to-peak below this many counts is noise, not a signal with a period.
constexpr int kMinPeriodicSwing = 4;

// One line of the table: the key the page uses ("a-pp"), its label, and the
// value formatted with its unit ("—" for no value).
struct MeasurementRow {
    std::string key;
    std::string label;
    std::string value;
};

// Rows of a channel in the table's order: min, max, pp, mean, rms, period,
// freq, duty; in counts and points, or volts and seconds where units say.
std::vector<MeasurementRow> MeasurementRows(Channel channel, const Measurements &m, const Units &units);

// The table of both channels, a row per measurement and a column per
// channel, with a line saying what the units are.
void WriteMeasurementTable(std::ostream &out, const Measurements &a, const Measurements &b, const Units &units);

} // namespace zqlscope::signal
