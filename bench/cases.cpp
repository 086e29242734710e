// The benchmark cases: the library's code, its reference and the
// straightforward loop, each on the same prepared data.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "acquisition/point_copy.h"
#include "acquisition/roll_decode.h"
#include "acquisition/scope_buffer.h"
#include "bench/allocation_counter.h"
#include "bench/figures.h"
#include "bench/literal_algorithms.h"
#include "bench/zero_cost_link.h"
#include "config/fpga_expansion.h"
#include "link/command_stream.h"
#include "link/commands.h"
#include "link/operations.h"
#include "tests/reference/bit_stream.h"
#include "tests/reference/placement.h"
#include "tests/reference/roll_block.h"

namespace bench {

const Figure kFigures[] = {
    // The append alone, as every other figure measures the library's own
    // work; the whole call adds the export lock.
    {"USBWriteData, time per call", "append/WriteData", "append/bare", "append/literal", "append/USBWriteData",
     Measure::TimeRatio, 3.0, 0},
    // The whole exported call against the append alone: what the re-entrant
    // export lock (the caller's thread id, the lock, its release) adds.
    {"USBWriteData, whole call with lock", "append/USBWriteData", "append/WriteData", "append/literal",
     "append/USBWriteData", Measure::TimeRatio, 5.0, 0},
    {"record copy, Step 1, 32,768 points", "record/PlacePoints", "record/memcpy", "record/literal",
     "record/USBRetrieveScopeData", Measure::BandwidthRatio, 0.5, 0},
    {"pre-trigger copy, 32,000 points", "pretrigger/PlacePoints", "pretrigger/memcpy", "pretrigger/literal",
     "pretrigger/USBRetrievePreTriggerData", Measure::BandwidthRatio, 0.5, 0},
    {"roll decode, full 4,096-byte block", "roll/DecodeRollBlock", "roll/memcpy", "roll/literal",
     "roll/USBRetrieveRollModeData", Measure::BandwidthRatio, 0.25, 0},
    {"FPGA expansion, 1 MiB to 24 MiB", "fpga/ExpandBitStream", "fpga/memcpy", "fpga/literal", "fpga/USBLoadFPGA",
     Measure::BandwidthRatio, 0.5, 1},
    // zqlscope's signal module: the function itself is the call.
    {"trigger search, 4,096-byte block", "trigger/FindCrossing", "trigger/memcpy", "trigger/literal",
     "trigger/FindCrossing", Measure::BandwidthRatio, 0.25, 0},
    {"measurements, 32,768-point frame", "measure/Measure", "measure/memcpy", "measure/literal", "measure/Measure",
     Measure::BandwidthRatio, 0, 0},
};
const int kFigureCount = sizeof kFigures / sizeof kFigures[0];

std::map<std::string, AllocationTally> &Allocations() {
    static std::map<std::string, AllocationTally> tallies;
    return tallies;
}

// The bare append's buffer, outside any function so that its stores stay.
std::uint8_t bareBuffer[zqlusb::kBufferSize + zqlusb::kBufferSpare];

namespace {

using zqlusb::ScopeBuffer;

constexpr std::size_t kScopeReplySize = 65536; // READ_BLOCK for 32,768 points
constexpr std::size_t kPreTriggerLead = reference::kPreTriggerLead;
constexpr std::size_t kPreTriggerBytes = 2 * ZQLUSB_PRETRIGGER_POINTS;
constexpr std::size_t kRollBlockSize = reference::kRollBlockSize;
constexpr std::size_t kBitStreamLength = std::size_t{1} << 20;
constexpr std::size_t kExpansionLength = kBitStreamLength * zqlusb::kImagesPerByte;
// The 24 MiB memcpy reads from this far into its buffer: both buffers start
// at the same offset in a page, and a copy between equal page offsets runs
// slower on some processors, which would flatter the expansion.
constexpr std::size_t kSourceShift = 64;
constexpr std::uint8_t kMarker = 0x5A; // what a record holds before a case writes into it

// Bytes that look like samples: a fixed xorshift sequence.
std::vector<std::uint8_t> SampleBytes(std::size_t count, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(count);
    for (std::uint8_t &b : bytes) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        b = static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

// A full roll-mode block: every packet's first byte counts the packets, and
// every tag is a data tag (0x80 to 0xBF).
std::vector<std::uint8_t> RollReply() {
    std::vector<std::uint8_t> block = SampleBytes(bench::kReplySize, 0x1234567u);
    for (std::size_t packet = 0; packet < kRollBlockSize / zqlusb::kPacketSize; ++packet) {
        std::uint8_t *p = block.data() + packet * zqlusb::kPacketSize;
        p[0] = static_cast<std::uint8_t>(packet);
        for (std::size_t k = 0; k < reference::kRecordsPerPacket; ++k) {
            p[1 + 3 * k] = static_cast<std::uint8_t>(0x80 | ((packet + k) & 0x3F));
        }
    }
    return block;
}

struct Prepared {
    std::vector<std::uint8_t> scopeReply = SampleBytes(bench::kReplySize, 0xC0FFEEu);
    std::vector<std::uint8_t> preTriggerReply = SampleBytes(bench::kReplySize, 0xBADC0DEu);
    std::vector<std::uint8_t> rollReply = RollReply();
    std::vector<std::uint8_t> bitStream = SampleBytes(kBitStreamLength, 0xF00DF00Du);
    std::vector<std::uint8_t> expansion = std::vector<std::uint8_t>(kExpansionLength);
    std::vector<std::uint8_t> expansionCheck = std::vector<std::uint8_t>(kExpansionLength + kSourceShift);
    std::unique_ptr<OutPutData> record = std::make_unique<OutPutData>();
    std::unique_ptr<OutPutData> check = std::make_unique<OutPutData>();
};

Prepared &Data() {
    static Prepared prepared;
    return prepared;
}

// Runs `body` once per iteration and tallies the heap allocations it makes.
template <typename Body>
void Measure(benchmark::State &state, const std::string &name, std::size_t bytes, const Body &body) {
    AllocationCountStart();
    for (auto _ : state) {
        body();
        benchmark::ClobberMemory();
    }
    const unsigned long allocations = AllocationCountStop();
    AllocationTally &tally = Allocations()[name];
    tally.allocations += allocations;
    tally.calls += static_cast<unsigned long long>(state.iterations());
    state.counters["allocs/call"] = static_cast<double>(allocations) / static_cast<double>(state.iterations());
    if (bytes > 0) {
        state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
    }
}

// Registers a case whose output must first equal the straightforward loop's;
// the body is inlined into the timed loop.
template <typename Body>
void Register(const char *name, std::size_t bytes, const std::function<bool()> &sameAsLiteral, Body body,
              benchmark::TimeUnit unit = benchmark::kMicrosecond) {
    benchmark::RegisterBenchmark(name, [=](benchmark::State &state) {
        if (sameAsLiteral && !sameAsLiteral()) {
            state.SkipWithError("output differs from the straightforward loop");
            return;
        }
        Measure(state, name, bytes, body);
    })->Unit(unit);
}

bool SameRecords() {
    return std::memcmp(Data().record.get(), Data().check.get(), sizeof(OutPutData)) == 0;
}

void ResetRecords() {
    std::memset(Data().record.get(), kMarker, sizeof(OutPutData));
    std::memset(Data().check.get(), kMarker, sizeof(OutPutData));
}

void RegisterAppends() {
    static std::uint8_t data = 0;
    // The bare loop keeps its length and data in registers; only its
    // stores go to memory.
    benchmark::RegisterBenchmark("append/bare", [](benchmark::State &state) {
        int length = 0;
        std::uint8_t value = 0;
        Measure(state, "append/bare", 0, [&] {
            bareBuffer[length] = zqlusb::CMD_DATA;
            bareBuffer[length + 1] = value++;
            length += 2;
            if (length >= zqlusb::kBufferSize) {
                length = 0;
            }
        });
    })->Unit(benchmark::kNanosecond);
    Register(
        "append/USBWriteData", 0,
        [] {
            // The same 20,000 appends, two flushes among them, leave the same bytes.
            std::vector<std::uint8_t> library, literal;
            USBFlushBuffer();
            for (int i = 0; i < 20000; ++i) {
                USBWriteData(static_cast<std::uint8_t>(i * 7));
            }
            library.assign(zqlusb::Buffer, zqlusb::Buffer + zqlusb::BufferLength);
            USBFlushBuffer();
            for (int i = 0; i < 20000; ++i) {
                LiteralAppend(zqlusb::CMD_DATA, static_cast<std::uint8_t>(i * 7));
            }
            literal.assign(zqlusb::Buffer, zqlusb::Buffer + zqlusb::BufferLength);
            return library == literal;
        },
        [] { USBWriteData(data++); }, benchmark::kNanosecond);
    Register(
        "append/WriteData", 0, nullptr, [] { zqlusb::WriteData(data++); }, benchmark::kNanosecond);
    Register(
        "append/literal", 0, nullptr, [] { LiteralAppend(zqlusb::CMD_DATA, data++); }, benchmark::kNanosecond);
}

// Each memcpy moves the bytes of its figure from where the library reads
// them (the receive buffer) to where it writes them (the record).
void RegisterRecordCopies() {
    Register("record/memcpy", kScopeReplySize, nullptr,
             [] { std::memcpy(Data().record.get(), ScopeBuffer, kScopeReplySize); });
    Register(
        "record/PlacePoints", kScopeReplySize,
        [] {
            std::memcpy(ScopeBuffer, Data().scopeReply.data(), kScopeReplySize);
            // The measured request, and spans whose ends do not fall on a word.
            const reference::ScopeSpan spans[] = {{32768, 0, 1}, {1001, 7, 1}, {67, 32701, 1}, {997, 3, 3}, {5, 0, 2}};
            for (const reference::ScopeSpan &span : spans) {
                ResetRecords();
                zqlusb::PlacePoints(ScopeBuffer, *Data().record, span.offset, span.offset + span.count, span.step);
                reference::PlaceScopeSpan(ScopeBuffer, span, *Data().check);
                if (!SameRecords()) {
                    return false;
                }
            }
            return true;
        },
        [] { zqlusb::PlacePoints(ScopeBuffer, *Data().record, 0, 32768, 1); });
    Register("record/literal", kScopeReplySize, nullptr, [] {
        reference::PlaceScopeSpan(ScopeBuffer, {32768, 0, 1}, *Data().check);
    });
    Register("record/USBRetrieveScopeData", kScopeReplySize, nullptr, [] {
        AnswerReadsWith(Data().scopeReply.data());
        OutPutData &record = *Data().record;
        // DataCount 32,768, DataOffset 0, Step 1; the points overwrite it.
        const std::uint8_t header[6] = {0x00, 0x80, 0x00, 0x00, 0x01, 0x00};
        std::memcpy(record.TempBufferA, header, sizeof header);
        USBRetrieveScopeData(&record);
    });
}

void RegisterPreTriggerCopies() {
    Register("pretrigger/memcpy", kPreTriggerBytes, nullptr,
             [] { std::memcpy(Data().record.get(), ScopeBuffer + kPreTriggerLead, kPreTriggerBytes); });
    Register(
        "pretrigger/PlacePoints", kPreTriggerBytes,
        [] {
            std::memcpy(ScopeBuffer, Data().preTriggerReply.data(), kScopeReplySize);
            ResetRecords();
            zqlusb::PlacePoints(ScopeBuffer + kPreTriggerLead, *Data().record, 0, ZQLUSB_PRETRIGGER_POINTS, 1);
            reference::PlacePreTrigger(ScopeBuffer, *Data().check);
            return SameRecords();
        },
        [] { zqlusb::PlacePoints(ScopeBuffer + kPreTriggerLead, *Data().record, 0, ZQLUSB_PRETRIGGER_POINTS, 1); });
    Register("pretrigger/literal", kPreTriggerBytes, nullptr,
             [] { reference::PlacePreTrigger(ScopeBuffer, *Data().check); });
    Register("pretrigger/USBRetrievePreTriggerData", kPreTriggerBytes, nullptr, [] {
        AnswerReadsWith(Data().preTriggerReply.data());
        USBRetrievePreTriggerData(Data().record.get());
    });
}

void RegisterRollDecodes() {
    Register("roll/memcpy", kRollBlockSize, nullptr,
             [] { std::memcpy(Data().record.get(), ScopeBuffer, kRollBlockSize); });
    Register(
        "roll/DecodeRollBlock", kRollBlockSize,
        [] {
            // The full block, shorter deliveries that end behind a whole record
            // and inside one (after its tag, after its channel A sample), and
            // blocks that end at an invalid or end tag in the middle of a
            // packet.
            std::vector<std::uint8_t> block = Data().rollReply;
            const struct {
                std::size_t at;
                std::uint8_t tag;
                std::uint32_t delivered;
            } variants[] = {{0, 0x80, 4096},
                            {0, 0x80, 640},
                            {0, 0x80, 98},
                            {0, 0x80, 97},
                            {0, 0x80, 96},
                            {1 + 64 * 30 + 3 * 5, 0x40, 4096},
                            {1 + 64 * 9 + 3 * 20, 0x3F, 4096},
                            {1 + 64 * 63, 0xC0, 4096}};
            for (const auto &v : variants) {
                std::memcpy(ScopeBuffer, block.data(), kRollBlockSize);
                ScopeBuffer[v.at] = v.at == 0 ? ScopeBuffer[0] : v.tag;
                ResetRecords();
                zqlusb::DecodeRollBlock(ScopeBuffer, v.delivered, *Data().record);
                reference::RetrieveRollBlock(ScopeBuffer, v.delivered, *Data().check);
                if (!SameRecords()) {
                    return false;
                }
            }
            std::memcpy(ScopeBuffer, block.data(), kRollBlockSize);
            return true;
        },
        [] { zqlusb::DecodeRollBlock(ScopeBuffer, kRollBlockSize, *Data().record); });
    Register("roll/literal", kRollBlockSize, nullptr,
             [] { reference::RetrieveRollBlock(ScopeBuffer, kRollBlockSize, *Data().check); });
    Register("roll/USBRetrieveRollModeData", kRollBlockSize, nullptr, [] {
        AnswerReadsWith(Data().rollReply.data());
        USBRetrieveRollModeData(Data().record.get());
    });
}

void RegisterExpansions() {
    Register(
        "fpga/memcpy", kExpansionLength, nullptr,
        [] { std::memcpy(Data().expansion.data(), Data().expansionCheck.data() + kSourceShift, kExpansionLength); },
        benchmark::kMillisecond);
    Register(
        "fpga/ExpandBitStream", kExpansionLength,
        [] {
            Prepared &d = Data();
            zqlusb::ExpandBitStream(d.bitStream.data(), kBitStreamLength, d.expansion.data());
            reference::ExpandBitStream(d.bitStream.data(), kBitStreamLength, d.expansionCheck.data());
            return std::memcmp(d.expansion.data(), d.expansionCheck.data(), kExpansionLength) == 0;
        },
        [] { zqlusb::ExpandBitStream(Data().bitStream.data(), kBitStreamLength, Data().expansion.data()); },
        benchmark::kMillisecond);
    Register(
        "fpga/literal", kExpansionLength, nullptr,
        [] { reference::ExpandBitStream(Data().bitStream.data(), kBitStreamLength, Data().expansionCheck.data()); },
        benchmark::kMillisecond);
    Register(
        "fpga/USBLoadFPGA", kExpansionLength, nullptr,
        [] { USBLoadFPGA(Data().bitStream.data(), static_cast<int>(kBitStreamLength)); }, benchmark::kMillisecond);
}

} // namespace

void RegisterCases() {
    Data(); // prepared before the first case, so that no case pays for it
    RegisterAppends();
    RegisterRecordCopies();
    RegisterPreTriggerCopies();
    RegisterRollDecodes();
    RegisterExpansions();
    RegisterSignalCases();
}

} // namespace bench
