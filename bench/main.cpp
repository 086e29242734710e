// zqlusb_bench: the library's appends, copies, decode and expansion against
// memory bandwidth and the straightforward loops. Takes the usual
// --benchmark_* options.
#include <benchmark/benchmark.h>

#include "bench/figures.h"
#include "bench/summary.h"

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    bench::RegisterCases();
    bench::SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const bool good = bench::PrintSummary(reporter);
    benchmark::Shutdown();
    return good ? 0 : 1;
}
