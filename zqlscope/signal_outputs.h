// The signal options of capture, roll and pretrigger: the unit options
// (--sample-rate, --volts-per-count, --zero-count), --measure and --sr.
// They join the commands' own option tables, and their outputs join the
// CSV and the plot as the points arrive.
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "signal/trigger.h"
#include "signal/units.h"
#include "sigrok/session_file.h"
#include "waveform_files.h"
#include "zqlusb.h"

namespace zqlscope {

// The commands' table with the signal options added to capture, roll and
// pretrigger, and a paragraph on units and the sigrok file in their help.
std::vector<Command> WithSignalOptions(std::vector<Command> commands);

// The units given on the command line; a malformed value is a UsageError.
signal::Units UnitsFrom(const Arguments &args);

// Checks every output path (--csv, --svg, --sr) before the instrument is
// opened.
void CheckSignalOutputs(const Arguments &args);

// Roll measures the newest points of the run, as many as a scope record holds.
constexpr std::size_t kRollMeasurePoints = ZQLUSB_CHANNEL_POINTS;

class SignalOutputs {
  public:
    // `origin` names what is captured ("a scope record") for the sigrok
    // file; measurements cover the newest `measurePoints` points.
    SignalOutputs(const Arguments &args, const std::string &origin, std::size_t measurePoints);
    ~SignalOutputs();
    void Add(const Trace &trace);
    // Closes the sigrok file and prints its line, then the measurement table.
    void Finish(std::ostream &report);

  private:
    signal::Units units_;
    bool measure_;
    std::size_t measurePoints_;
    std::optional<signal::History> recent_;
    std::unique_ptr<sigrok::SessionFile> session_;
};

} // namespace zqlscope
