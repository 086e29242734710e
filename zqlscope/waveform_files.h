// Writing captured points: CSV for data, SVG for a scope-like plot of both
// channels over the sample index.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zqlscope {

// Points of two channels; index[i] is the sample index of point i.
struct Trace {
    std::vector<long> index;
    std::vector<std::uint8_t> a;
    std::vector<std::uint8_t> b;
    void Add(long at, std::uint8_t sampleA, std::uint8_t sampleB) {
        index.push_back(at);
        a.push_back(sampleA);
        b.push_back(sampleB);
    }
};

// "index,channel_a,channel_b" and one line per point.
void WriteCsv(const std::string &path, const Trace &trace);

// Both channels over the sample index, values 0 to 255, on a graticule
// with axis labels.
void WriteSvg(const std::string &path, const std::string &title, const Trace &trace);

} // namespace zqlscope
