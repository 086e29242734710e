// The CSV of capture, roll and pretrigger. It always carries each point's
// record index and both channels' counts as they came from the instrument;
// with the unit options it adds the point's time (--sample-rate) and each
// channel's level (--volts-per-count, --zero-count), the unit in the column's
// name. Roll's CSV adds the block each point came in and that block's state,
// and a row of its own for a block that brought no points, so that a gap in
// the index column is explained in the file.
#pragma once

#include <string>

#include "signal/units.h"
#include "waveform_files.h"

namespace zqlscope {

class PointsCsv {
  public:
    // `blocks`: the roll layout, with the block and block_state columns.
    PointsCsv(const std::string &path, const signal::Units &units, bool blocks);
    // The points of one trace; `block` and `state` fill the roll columns.
    void Add(const Trace &trace, long block = 0, const std::string &state = "");
    // A block that brought no points: one row with its number and state only.
    void AddEmptyBlock(long block, const std::string &state);
    void Close() { csv_.Close(); }

    // The header line for these units and layout (without the line end).
    static std::string Header(const signal::Units &units, bool blocks);

  private:
    signal::Units units_;
    bool blocks_;
    bool levels_;             // the level columns are written
    long long pointsSoFar_ = 0; // the time column counts points from the first
    CsvWriter csv_;
    std::string line_;
};

} // namespace zqlscope
