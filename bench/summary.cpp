// The closing table of the benchmark.
#include "bench/summary.h"

#include <cstdio>

#include "bench/figures.h"

namespace bench {

void SummaryReporter::ReportRuns(const std::vector<Run> &runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
        if (run.error_occurred) {
            failed = true;
            continue;
        }
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        const std::string &name = run.run_name.function_name;
        if (median || (run.run_type == Run::RT_Iteration && seconds.count(name) == 0)) {
            seconds[name] = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }
}

namespace {

double Seconds(const SummaryReporter &reporter, const char *name) {
    auto it = reporter.seconds.find(name);
    return it == reporter.seconds.end() ? 0 : it->second;
}

// Ratio of the figure as its target reads it: time over the reference's
// time, or bytes/s over the reference's bytes/s (both move the same bytes).
double Ratio(const Figure &figure, double library, double reference) {
    if (library <= 0 || reference <= 0) {
        return 0;
    }
    return figure.measure == Measure::TimeRatio ? library / reference : reference / library;
}

bool Met(const Figure &figure, double ratio) {
    return figure.measure == Measure::TimeRatio ? ratio <= figure.target : ratio >= figure.target;
}

// Allocations per call of a case, and whether the case ran at all.
bool AllocationsPerCall(const char *name, double *perCall, bool *exact, unsigned long expected) {
    auto it = Allocations().find(name);
    if (it == Allocations().end() || it->second.calls == 0) {
        return false;
    }
    *perCall = static_cast<double>(it->second.allocations) / static_cast<double>(it->second.calls);
    *exact = it->second.allocations == expected * it->second.calls;
    return true;
}

} // namespace

bool PrintSummary(const SummaryReporter &reporter) {
    bool good = !reporter.failed;
    std::printf("\n%-38s %12s %12s %7s %8s %-6s %12s %8s %12s %12s\n", "figure", "library", "reference", "ratio",
                "target", "", "literal", "speedup", "whole call", "allocs/call");
    for (int f = 0; f < kFigureCount; ++f) {
        const Figure &figure = kFigures[f];
        const double library = Seconds(reporter, figure.library);
        const double reference = Seconds(reporter, figure.reference);
        const double literal = Seconds(reporter, figure.literal);
        const double call = Seconds(reporter, figure.call);
        const double ratio = Ratio(figure, library, reference);
        double perCall = 0;
        bool exact = false;
        const bool counted = AllocationsPerCall(figure.call, &perCall, &exact, figure.allocationsPerCall);
        if (counted && !exact) {
            good = false;
        }
        const char *sense = figure.measure == Measure::TimeRatio ? "<=" : ">=";
        std::printf("%-38s %9.3f us %9.3f us %7.3f %s%6.2f %-6s %9.3f us %7.2fx %9.3f us %5.2f (%lu)%s\n",
                    figure.title, library * 1e6, reference * 1e6, ratio, sense, figure.target,
                    library > 0 && reference > 0 ? (Met(figure, ratio) ? "met" : "MISSED") : "-", literal * 1e6,
                    library > 0 ? literal / library : 0.0, call * 1e6, perCall, figure.allocationsPerCall,
                    counted && !exact ? " WRONG" : "");
    }
    std::printf("\nratio: time per call over the bare append's, or bytes/s over memcpy's of the same bytes;\n"
                "speedup: the straightforward loop's time over the library's; times are CPU time per\n"
                "iteration (medians when repeated); allocs/call of the whole exported call (required).\n");
    return good;
}

} // namespace bench
