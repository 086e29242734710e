// Real units, when the user gives them. The library knows neither the
// instrument's sample rate nor its volts per count: without these options
// the time axis counts points and the vertical axis counts the sample bytes
// (0 to 255). With them, values read in seconds, hertz and volts.
//   --sample-rate HZ            points per second (e.g. 1e6, 250k, 20M)
//   --volts-per-count A=V,B=V   volts of one count, per channel
//   --zero-count A=N,B=N        the count that reads 0 V (default 0)
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "channel.h"

namespace zqlscope::signal {

struct ChannelScale {
    std::optional<double> voltsPerCount;
    double zeroCount = 0;
};

struct Units {
    std::optional<double> sampleRate; // Hz
    ChannelScale a, b;
    const ChannelScale &Scale(Channel channel) const;
    bool Volts(Channel channel) const { return Scale(channel).voltsPerCount.has_value(); }
    bool Seconds() const { return sampleRate.has_value(); }
};

// Reads one of the three options' values into `units`. Returns the error
// sentence for a malformed value (the caller reports it as a usage error,
// exit 2), empty on success. `option` is "--sample-rate",
// "--volts-per-count" or "--zero-count".
std::string ParseUnitOption(std::string_view option, std::string_view value, Units &units);

// A level in counts as the channel reads: volts, or counts less the zero.
double Level(const Units &units, Channel channel, double counts);
// A difference of counts (peak-to-peak, RMS): volts, or counts.
double Span(const Units &units, Channel channel, double counts);
// A duration in points as seconds, or points; a rate per point as hertz, or per point.
double Duration(const Units &units, double points);
double Rate(const Units &units, double perPoint);

// Unit names as shown: "V" or "counts"; "s" or "points"; "Hz" or "/point".
std::string LevelUnit(const Units &units, Channel channel);
std::string TimeUnit(const Units &units);
std::string RateUnit(const Units &units);

// A value with an engineering prefix and its unit, 4 significant digits:
// "1.234 mV", "500.0 µs", "2.000 kHz", "0 V". Prefixes from n to G.
std::string Engineering(double value, std::string_view unit);

// A value in the given unit as the table shows it: with a prefix for V, s
// and Hz, as a plain number for counts and points.
std::string FormatValue(double value, std::string_view unit);

// One sentence for help texts and file notes: what the axes mean with
// these units ("time in points (no --sample-rate given)...").
std::string AxesNote(const Units &units);

} // namespace zqlscope::signal
