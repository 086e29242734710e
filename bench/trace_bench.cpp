// zqlusb_trace_bench: what recording a session costs. The library core and
// the recording layer of the trace builds (src/trace/) over the zero-cost
// link, writing a real trace file (ZQLUSB_TRACE, else one in the temporary
// folder); in the same run the core's exports called directly, which record
// nothing. Two figures, printed side by side at the end:
//   - the whole traced USBWriteData call against the untraced one (target:
//     at most 5 times);
//   - for a 64 KiB USBRetrieveScopeData (32,768 points, Step 1), the time
//     tracing adds (traced call minus untraced call) against memcpy of the
//     bytes it adds to the file (target: at most 2 times); beside it the
//     bare write() of those bytes to a file, the floor any file costs.
// Takes the usual --benchmark_* options; times are wall-clock (the file's
// writes are system time), medians when repeated.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/zero_cost_link.h"
#include "trace/core_exports.h"

namespace {

// A repetition of the traced 64 KiB retrieval (and of the bare write) is this
// many calls, about 60 MB of trace: a session's worth. Left to run for its
// usual half second, the benchmark would write gigabytes at several GB/s and
// time the disk's sustained bandwidth (the kernel holds writers back once
// too much waits to be written), which no instrument's USB link comes near.
constexpr int kRetrievalsPerRepetition = 300;

std::string TracePath() {
    const char *named = std::getenv("ZQLUSB_TRACE");
    if (named != nullptr && named[0] != '\0') {
        return named;
    }
    const char *folder = std::getenv("TMPDIR");
    const std::string path = std::string(folder && folder[0] ? folder : "/tmp") + "/zqlusb-trace-bench.pcapng";
    setenv("ZQLUSB_TRACE", path.c_str(), 1);
    return path;
}

long long FileSize(const std::string &path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 ? static_cast<long long>(s.st_size) : -1;
}

// The zero-cost link's reply to every read: sample-like bytes.
std::vector<std::uint8_t> &Reply() {
    static std::vector<std::uint8_t> reply = [] {
        std::vector<std::uint8_t> bytes(bench::kReplySize);
        std::uint32_t seed = 0x2545F491;
        for (std::uint8_t &b : bytes) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            b = static_cast<std::uint8_t>(seed >> 24);
        }
        return bytes;
    }();
    return reply;
}

std::unique_ptr<OutPutData> WholeRecordRequest() {
    std::unique_ptr<OutPutData> record(new OutPutData());
    ZqlusbSetScopeRequest(record.get(), ZQLUSB_CHANNEL_POINTS, 0, 1);
    return record;
}

// The bytes one traced 64 KiB retrieval adds to the file, measured once.
std::size_t BytesRecordedPerRetrieval() {
    static std::size_t bytes = [] {
        std::unique_ptr<OutPutData> record = WholeRecordRequest();
        USBRetrieveScopeData(record.get()); // opens the file on the first call
        const long long before = FileSize(TracePath());
        ZqlusbSetScopeRequest(record.get(), ZQLUSB_CHANNEL_POINTS, 0, 1);
        USBRetrieveScopeData(record.get());
        return static_cast<std::size_t>(FileSize(TracePath()) - before);
    }();
    return bytes;
}

void WriteDataUntraced(benchmark::State &state) {
    unsigned char value = 0;
    for (auto _ : state) {
        zqlcore_USBWriteData(value++);
    }
}

void WriteDataTraced(benchmark::State &state) {
    unsigned char value = 0;
    for (auto _ : state) {
        USBWriteData(value++);
    }
}

void ScopeUntraced(benchmark::State &state) {
    std::unique_ptr<OutPutData> record = WholeRecordRequest();
    for (auto _ : state) {
        ZqlusbSetScopeRequest(record.get(), ZQLUSB_CHANNEL_POINTS, 0, 1);
        zqlcore_USBRetrieveScopeData(record.get());
        benchmark::DoNotOptimize(record->TempBufferB[ZQLUSB_CHANNEL_POINTS - 1]);
    }
}

void ScopeTraced(benchmark::State &state) {
    std::unique_ptr<OutPutData> record = WholeRecordRequest();
    for (auto _ : state) {
        ZqlusbSetScopeRequest(record.get(), ZQLUSB_CHANNEL_POINTS, 0, 1);
        USBRetrieveScopeData(record.get());
        benchmark::DoNotOptimize(record->TempBufferB[ZQLUSB_CHANNEL_POINTS - 1]);
    }
}

void RecordedBytesMemcpy(benchmark::State &state) {
    const std::size_t n = BytesRecordedPerRetrieval();
    std::vector<std::uint8_t> from(n, 0x5A), to(n);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), n);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
}

void RecordedBytesWrite(benchmark::State &state) {
    const std::size_t n = BytesRecordedPerRetrieval();
    const std::string path = TracePath() + ".write";
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::uint8_t> from(n, 0x5A);
    for (auto _ : state) {
        if (write(file, from.data(), n) != static_cast<ssize_t>(n)) {
            state.SkipWithError("write failed");
            break;
        }
    }
    close(file);
    unlink(path.c_str());
}

class Reporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            failed = failed || run.error_occurred;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const std::string &name = run.run_name.function_name;
            if (median || (run.run_type == Run::RT_Iteration && seconds.count(name) == 0)) {
                seconds[name] = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            }
        }
    }
    std::map<std::string, double> seconds;
    bool failed = false;
};

std::string Time(double seconds) {
    char text[32];
    if (seconds < 1e-6) {
        std::snprintf(text, sizeof text, "%.1f ns", seconds * 1e9);
    } else {
        std::snprintf(text, sizeof text, "%.2f us", seconds * 1e6);
    }
    return text;
}

void PrintSummary(Reporter &r) {
    const double plain = r.seconds["trace/USBWriteData/untraced"];
    const double traced = r.seconds["trace/USBWriteData/traced"];
    const double scopePlain = r.seconds["trace/USBRetrieveScopeData/untraced"];
    const double scopeTraced = r.seconds["trace/USBRetrieveScopeData/traced"];
    const double copy = r.seconds["trace/recorded-bytes/memcpy"];
    const double bare = r.seconds["trace/recorded-bytes/write"];
    const double added = scopeTraced - scopePlain;
    std::printf("\nRecording a session, in one run (wall-clock, trace file %s):\n", TracePath().c_str());
    std::printf("| figure | traced | reference | ratio | target |\n| --- | --- | --- | --- | --- |\n");
    std::printf("| USBWriteData, whole call, traced vs untraced | %s | %s | %.2f | at most 5 |\n", Time(traced).c_str(),
                Time(plain).c_str(), plain > 0 ? traced / plain : 0);
    std::printf("| USBRetrieveScopeData 64 KiB, time tracing adds vs memcpy of the %zu bytes it records "
                "| %s (call %s, untraced %s) | %s | %.2f | at most 2 |\n",
                BytesRecordedPerRetrieval(), Time(added).c_str(), Time(scopeTraced).c_str(), Time(scopePlain).c_str(),
                Time(copy).c_str(), copy > 0 ? added / copy : 0);
    std::printf("| the same bytes with one bare write() to a file | %s | %s | %.2f | (the floor of a file) |\n",
                Time(bare).c_str(), Time(copy).c_str(), copy > 0 ? bare / copy : 0);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    TracePath();
    bench::AnswerReadsWith(Reply().data());
    zqlcore_USBInitDevice();
    BytesRecordedPerRetrieval();
    benchmark::RegisterBenchmark("trace/USBWriteData/untraced", WriteDataUntraced)->UseRealTime();
    benchmark::RegisterBenchmark("trace/USBWriteData/traced", WriteDataTraced)->UseRealTime();
    benchmark::RegisterBenchmark("trace/USBRetrieveScopeData/untraced", ScopeUntraced)->UseRealTime();
    benchmark::RegisterBenchmark("trace/USBRetrieveScopeData/traced", ScopeTraced)
        ->UseRealTime()
        ->Iterations(kRetrievalsPerRepetition);
    benchmark::RegisterBenchmark("trace/recorded-bytes/memcpy", RecordedBytesMemcpy)->UseRealTime();
    benchmark::RegisterBenchmark("trace/recorded-bytes/write", RecordedBytesWrite)
        ->UseRealTime()
        ->Iterations(kRetrievalsPerRepetition);
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintSummary(reporter);
    benchmark::Shutdown();
    unlink(TracePath().c_str());
    return reporter.failed ? 1 : 0;
}
