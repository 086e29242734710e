// Reading a SCPI program line: commands separated by ';', each a header
// (common "*IDN?", or nodes "WAV:DATA?" with an optional leading ':') and
// parameters separated by ','. A header without a leading ':' after another
// command is taken relative to that command's path, so that
// ":TRIG:SOUR CHAN1;SLOP POS" sets both trigger settings. Headers are matched
// case-insensitively in their short or long form by MatchNode.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scpi/errors.h"

namespace zqlscope::scpi {

struct ProgramUnit {
    bool common = false;            // "*IDN?"
    bool query = false;             // the header ends with '?'
    std::vector<std::string> nodes; // the full path, relative headers completed; "IDN" for a common one
    std::vector<std::string> params;
};

struct ParsedLine {
    std::vector<ProgramUnit> units;
    std::optional<Error> error; // set: the line is malformed and nothing of it runs
};

ParsedLine ParseLine(std::string_view line);

// Matches a header node against a table pattern: the upper-case part is the
// short form, the whole pattern the long form ("WAVeform": "WAV" or
// "WAVEFORM", any case); a trailing '#' takes a numeric suffix (absent:
// 1). Returns the suffix (0 for a pattern without '#'), or nothing when the
// node is not this pattern.
std::optional<int> MatchNode(std::string_view pattern, std::string_view node);

// A numeric parameter: decimal with sign, fraction and exponent ("1E6",
// "-0.5"), or #H, #Q, #B integers. Nothing when it is not a number.
std::optional<double> ParseNumber(std::string_view text);

} // namespace zqlscope::scpi
