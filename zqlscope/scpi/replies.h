// What the server answers: numbers as SCPI writes them, the identity, the
// waveform as a definite-length block or ASCII values, its preamble and the
// measurements of the signal module.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "scpi/machine.h"

namespace zqlscope::scpi {

// What instruments answer for a value that does not exist (no period in a
// flat signal): SCPI's "not a number".
constexpr const char *kNotANumber = "9.91E37";

// A number in the shortest exact-enough form: "1000", "0.0125", "1.5E-06".
std::string Number(double value);

// "ZELQA,USB oscilloscope,2026,zqlusb 1.0.0 driver 1.3": the name and the
// serial number from the serial EEPROM's words 0-3, then the versions.
Status Identity(std::string &reply);

// -240 with the link's sentence when USBLinkStatus reports a problem.
Status LinkError(const std::string &what);

// BYTE: "#41000" and the samples; ASCii: the values in the channel's units,
// separated by commas.
std::string WaveformReply(const Settings &settings, const Acquisition &data);

// format,type,points,count,xincrement,xorigin,xreference,yincrement,yorigin,yreference
// with value = (sample - yreference) * yincrement + yorigin and the time of
// point i = i * xincrement + xorigin (0 at the trigger point when triggered).
std::string PreambleReply(const Settings &settings, const Acquisition &data);

enum class Measure : std::uint8_t { Vpp, Vmax, Vmin, Vaverage, Vrms, Period, Frequency, Duty };

// One measurement of a channel's samples, in its units, or kNotANumber.
std::string MeasurementReply(Measure what, const signal::Units &units, signal::Channel channel,
                             std::span<const std::uint8_t> samples);

} // namespace zqlscope::scpi
