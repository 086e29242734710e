// The closing table of the benchmark.
#include "bench/summary.h"

#include <cstdio>
#include <string>

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
    if (figure.target <= 0) {
        return true; // no target: reported only
    }
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

// A time in the unit that keeps it between 1 and 1,000.
std::string Duration(double seconds) {
    const char *units[] = {"ns", "us", "ms", "s"};
    double value = seconds * 1e9;
    int unit = 0;
    while (value >= 1000 && unit < 3) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.3g %s", value, units[unit]);
    return text;
}

} // namespace

bool PrintSummary(const SummaryReporter &reporter) {
    bool good = !reporter.failed;
    std::printf("\n%-37s %10s %10s %6s %7s %-6s %10s %7s %10s %s\n", "figure", "library", "reference", "ratio",
                "target", "", "literal", "speedup", "call", "allocs/call (required)");
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
        std::printf("%-37s %10s %10s %6.3f %s%5.2f %-6s %10s %6.2fx %10s %.2f (%lu)%s\n", figure.title,
                    Duration(library).c_str(), Duration(reference).c_str(), ratio, sense, figure.target,
                    library > 0 && reference > 0 ? (Met(figure, ratio) ? "met" : "MISSED") : "-",
                    Duration(literal).c_str(), library > 0 ? literal / library : 0.0, Duration(call).c_str(), perCall,
                    figure.allocationsPerCall, counted && !exact ? " WRONG" : "");
    }
    std::printf("\nratio: library time over the reference's (the bare append; for the whole call with the lock,\n"
                "the append alone), or library bytes/s over memcpy's of the same bytes; library: the copy,\n"
                "decode or expansion alone, on the received bytes; call: the whole exported call over the\n"
                "zero-cost link, whose read copies the prepared reply into the receive buffer; speedup: the\n"
                "straightforward loop's time over the library's. CPU time per iteration, the median of the\n"
                "repetitions when repeated. allocs/call: heap allocations of the call.\n");
    return good;
}

} // namespace bench
