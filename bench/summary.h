// The closing table: each figure's ratio to its reference against its
// target, its speedup over the straightforward loop, and the heap
// allocations of the whole call.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

// The console reporter, keeping each case's seconds per iteration (the
// median when cases are repeated) and whether any case failed.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override;

    std::map<std::string, double> seconds;
    bool failed = false;
};

// Prints the table; returns false when a case failed or a call's heap
// allocations differ from what it must make. Speed never fails it.
bool PrintSummary(const SummaryReporter &reporter);

} // namespace bench
