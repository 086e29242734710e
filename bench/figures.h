// The figures the benchmark reports: for each, the library's case, the
// reference it is held against, the straightforward loop, the whole
// exported call, and the targets.
#pragma once

#include <map>
#include <string>

namespace bench {

enum class Measure {
    TimeRatio,      // library time / reference time; at most the target
    BandwidthRatio, // library bytes/s / reference bytes/s; at least the target
};

struct Figure {
    const char *title;
    const char *library;   // case name of the library's code
    const char *reference; // case name of the reference
    const char *literal;   // case name of the straightforward loop
    const char *call;      // case name of the whole exported call
    Measure measure;
    double target; // 0: none, the figure is reported only
    unsigned long allocationsPerCall; // expected of the whole call
};

extern const Figure kFigures[];
extern const int kFigureCount;

// Heap allocations counted in a case over all its runs.
struct AllocationTally {
    unsigned long allocations = 0;
    unsigned long long calls = 0;
};
std::map<std::string, AllocationTally> &Allocations();

// Registers every case, named as kFigures names them.
void RegisterCases();
// The signal module's cases (signal_cases.cpp).
void RegisterSignalCases();

} // namespace bench
