// zqlscope's signal module in the benchmark: the trigger search over a
// roll-sized block and the measurements of a whole record, each against
// memcpy of the same bytes and against the straightforward loop.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "bench/allocation_counter.h"
#include "bench/figures.h"
#include "signal/measurements.h"
#include "signal/trigger.h"

namespace bench {

namespace {

constexpr std::size_t kSearchBlock = 4096;   // bytes of the trigger search: a full roll block's size
constexpr std::size_t kMeasureFrame = 32768; // points of the measured frame: a whole record

// A sine of period 500 about 128, amplitude 100, with a few counts of fixed
// noise: the virtual instrument's channel A as a real one would send it.
std::vector<std::uint8_t> NoisySine(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    std::uint32_t seed = 0x2545F491u;
    for (std::size_t i = 0; i < n; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        const double noise = static_cast<double>(seed >> 29) - 3.5; // -3.5 to 3.5
        out[i] = static_cast<std::uint8_t>(
            std::lround(128 + 100 * std::sin(2 * std::numbers::pi * static_cast<double>(i) / 500) + noise));
    }
    return out;
}

struct SignalData {
    std::vector<std::uint8_t> block = NoisySine(kSearchBlock);
    std::vector<std::uint8_t> frame = NoisySine(kMeasureFrame);
    std::vector<std::uint8_t> copy = std::vector<std::uint8_t>(kMeasureFrame);
    zqlscope::signal::Edge edge; // rising through 128, hysteresis 4
};

SignalData &Signals() {
    static SignalData data;
    return data;
}

// Every crossing of the block, the state carried as between roll blocks.
std::size_t SearchBlock(std::span<const std::uint8_t> block, const zqlscope::signal::Edge &edge,
                        zqlscope::signal::CrossingState &state) {
    std::size_t count = 0, from = 0;
    while (const auto at = zqlscope::signal::FindCrossing(block, edge, state, from)) {
        from = *at + 1;
        ++count;
    }
    return count;
}

// The straightforward search: one sample at a time through the two states.
std::size_t LiteralSearch(std::span<const std::uint8_t> block, int level, int hysteresis, bool &armed) {
    std::size_t count = 0;
    for (const std::uint8_t v : block) {
        if (!armed && v < level - hysteresis) {
            armed = true;
        } else if (armed && v >= level) {
            armed = false;
            ++count;
        }
    }
    return count;
}

// The straightforward measurements: sums in one loop, crossings in another.
struct LiteralResult {
    int min = 255, max = 0;
    double mean = 0, period = 0;
};

LiteralResult LiteralMeasure(std::span<const std::uint8_t> frame) {
    LiteralResult r;
    double sum = 0, squares = 0;
    for (const std::uint8_t v : frame) {
        r.min = v < r.min ? v : r.min;
        r.max = v > r.max ? v : r.max;
        sum += v;
        squares += static_cast<double>(v) * v;
    }
    r.mean = sum / static_cast<double>(frame.size());
    benchmark::DoNotOptimize(squares);
    const double mid = (r.min + r.max) / 2.0;
    const int h = std::max(1, (r.max - r.min) / 10);
    double spans = 0;
    int intervals = 0;
    for (const bool rising : {true, false}) {
        const int level = static_cast<int>(std::ceil(mid)) - (rising ? 0 : 1);
        bool armed = false;
        double first = -1, last = -1;
        int count = 0;
        for (std::size_t i = 0; i < frame.size(); ++i) {
            const int v = frame[i];
            if (!armed && (rising ? v < level - h : v > level + h)) {
                armed = true;
            } else if (armed && (rising ? v >= level : v <= level)) {
                armed = false;
                last = static_cast<double>(i - 1) + (mid - frame[i - 1]) / (v - frame[i - 1]);
                first = count++ == 0 ? last : first;
            }
        }
        if (count > 1) {
            spans += last - first;
            intervals += count - 1;
        }
    }
    r.period = intervals > 0 ? spans / intervals : 0;
    return r;
}

template <typename Body>
void Run(benchmark::State &state, const char *name, std::size_t bytes, const Body &body) {
    AllocationCountStart();
    for (auto _ : state) {
        body();
        benchmark::ClobberMemory();
    }
    const unsigned long allocations = AllocationCountStop(); // before the tally's own map entry
    AllocationTally &tally = Allocations()[name];
    tally.allocations += allocations;
    tally.calls += static_cast<unsigned long long>(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

} // namespace

void RegisterSignalCases() {
    SignalData &d = Signals();
    benchmark::RegisterBenchmark("trigger/memcpy", [&d](benchmark::State &state) {
        Run(state, "trigger/memcpy", kSearchBlock, [&] { std::memcpy(d.copy.data(), d.block.data(), kSearchBlock); });
    })->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("trigger/FindCrossing", [&d](benchmark::State &state) {
        zqlscope::signal::CrossingState library;
        bool armed = false;
        if (SearchBlock(d.block, d.edge, library) != LiteralSearch(d.block, d.edge.level, d.edge.hysteresis, armed) ||
            library.armed != armed) {
            state.SkipWithError("the search differs from the straightforward loop");
            return;
        }
        Run(state, "trigger/FindCrossing", kSearchBlock, [&] { benchmark::DoNotOptimize(SearchBlock(d.block, d.edge, library)); });
    })->Unit(benchmark::kNanosecond);
    benchmark::RegisterBenchmark("trigger/literal", [&d](benchmark::State &state) {
        bool armed = false;
        Run(state, "trigger/literal", kSearchBlock,
            [&] { benchmark::DoNotOptimize(LiteralSearch(d.block, d.edge.level, d.edge.hysteresis, armed)); });
    })->Unit(benchmark::kNanosecond);

    benchmark::RegisterBenchmark("measure/memcpy", [&d](benchmark::State &state) {
        Run(state, "measure/memcpy", kMeasureFrame, [&] { std::memcpy(d.copy.data(), d.frame.data(), kMeasureFrame); });
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("measure/Measure", [&d](benchmark::State &state) {
        const zqlscope::signal::Measurements m = zqlscope::signal::Measure(d.frame);
        const LiteralResult literal = LiteralMeasure(d.frame);
        if (!m.period || std::fabs(*m.period - literal.period) > 1e-9 || m.min != literal.min ||
            std::fabs(m.mean - literal.mean) > 1e-9) {
            state.SkipWithError("the measurements differ from the straightforward loop");
            return;
        }
        Run(state, "measure/Measure", kMeasureFrame, [&] { benchmark::DoNotOptimize(zqlscope::signal::Measure(d.frame)); });
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("measure/literal", [&d](benchmark::State &state) {
        Run(state, "measure/literal", kMeasureFrame, [&] { benchmark::DoNotOptimize(LiteralMeasure(d.frame)); });
    })->Unit(benchmark::kMicrosecond);
}

} // namespace bench
