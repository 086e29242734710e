#include "points_csv.h"

#include <cstdio>

namespace zqlscope {

namespace {

// Level columns are written when any option scales a channel.
bool ScalesLevels(const signal::Units &units) {
    return units.a.voltsPerCount || units.b.voltsPerCount || units.a.zeroCount != 0 || units.b.zeroCount != 0;
}

// Enough digits for a nanosecond at an hour's run, and for a millivolt's
// fraction on any range.
void AppendReal(std::string &out, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    out += text;
}

} // namespace

std::string PointsCsv::Header(const signal::Units &units, bool blocks) {
    std::string header = "index";
    if (units.Seconds()) {
        header += ",time_s";
    }
    header += ",channel_a,channel_b";
    if (ScalesLevels(units)) {
        header += ",channel_a_" + signal::LevelUnit(units, signal::Channel::A) + ",channel_b_" +
                  signal::LevelUnit(units, signal::Channel::B);
    }
    if (blocks) {
        header += ",block,block_state";
    }
    return header;
}

PointsCsv::PointsCsv(const std::string &path, const signal::Units &units, bool blocks)
    : units_(units), blocks_(blocks), levels_(ScalesLevels(units)), csv_(path, Header(units, blocks)) {}

void PointsCsv::Add(const Trace &trace, long block, const std::string &state) {
    const bool plain = !units_.Seconds() && !levels_ && !blocks_;
    for (std::size_t i = 0; i < trace.index.size(); ++i, ++pointsSoFar_) {
        if (plain) { // the common case, without formatting
            csv_.Add(trace.index[i], trace.a[i], trace.b[i]);
            continue;
        }
        line_ = std::to_string(trace.index[i]);
        if (units_.Seconds()) {
            line_ += ',';
            AppendReal(line_, signal::Duration(units_, static_cast<double>(pointsSoFar_)));
        }
        line_ += ',' + std::to_string(trace.a[i]) + ',' + std::to_string(trace.b[i]);
        if (levels_) {
            line_ += ',';
            AppendReal(line_, signal::Level(units_, signal::Channel::A, trace.a[i]));
            line_ += ',';
            AppendReal(line_, signal::Level(units_, signal::Channel::B, trace.b[i]));
        }
        if (blocks_) {
            line_ += ',' + std::to_string(block) + ',' + state;
        }
        csv_.AddLine(line_);
    }
}

void PointsCsv::AddEmptyBlock(long block, const std::string &state) {
    // Every column but the block's stays empty.
    std::string line = units_.Seconds() ? ",,," : ",,";
    line += levels_ ? ",," : "";
    csv_.AddLine(line + "," + std::to_string(block) + "," + state);
}

} // namespace zqlscope
