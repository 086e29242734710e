// The trace reader on traces built byte by byte: what it returns from a good
// file, and the verdict and the place it names for damaged, truncated,
// unclosed and foreign ones.
#include <gtest/gtest.h>

#include <functional>

#include "trace/trace_bytes.h"
#include "trace_reader/trace_reader.h"

namespace {

using namespace tracebytes;
using zqltrace::Ending;

// A short session: start, an export call with a caller buffer, a platform
// call, a run of register writes, the end.
Trace Session() {
    Trace t = Trace::Opened();
    t.Record({zqltrace::kExportCall, 16, 2, 0,
              Cat({Arguments({0x7000}), Field(zqltrace::kBytesRead, {0xE8, 0x03, 0, 0, 1, 0}), Changed(0, {1, 2, 3})}),
              78, 1, 5000});
    t.Record({zqltrace::kPlatformCall, zqltrace::kDeviceIoControl, 3, 1,
              Cat({Arguments({0x5A000001, 0x220018, 4, 0}), Field(zqltrace::kBytesRead, {0x01, 0x10, 0x02, 0x42}),
                   U32Field(zqltrace::kReturnedLength, 0), U32Field(zqltrace::kLastError, 0)})});
    t.Record({zqltrace::kRegisterWrites, 0, 4, 0, Field(zqltrace::kWrites, {7, 0x10, 8, 0x42, 6, 0})});
    t.Record({zqltrace::kSessionEnd, 0, 5, 0, {}});
    return t;
}

struct Read {
    std::vector<zqltrace::Record> records;
    Ending ending;
    std::string problem;
};

Read ReadAll(const Bytes &bytes) {
    zqltrace::Reader reader(bytes);
    Read out;
    for (zqltrace::Record r; reader.Next(&r);) {
        out.records.push_back(r);
    }
    out.ending = reader.ending();
    out.problem = reader.problem();
    return out;
}

TEST(TraceReader, ReturnsEveryRecordOfAClosedTraceWithItsFields) {
    const Bytes bytes = Session().bytes;
    const Read read = ReadAll(bytes);
    EXPECT_EQ(read.ending, Ending::kClosed) << read.problem;
    ASSERT_EQ(read.records.size(), 5u);
    const zqltrace::Record &call = read.records[1];
    EXPECT_EQ(call.kind, zqltrace::kExportCall);
    EXPECT_EQ(call.call, 16);
    EXPECT_EQ(call.depth, 1);
    EXPECT_EQ(call.thread, 78u);
    EXPECT_EQ(call.number, 2u);
    EXPECT_EQ(call.time, 5000u);
    EXPECT_EQ(zqltrace::ArgumentValues(call), std::vector<std::uint64_t>{0x7000});
    const auto changed = zqltrace::FindField(call, zqltrace::kBytesChanged);
    ASSERT_TRUE(changed);
    EXPECT_EQ(Bytes(changed->begin(), changed->end()), (Bytes{0, 0, 0, 0, 1, 2, 3}));
    EXPECT_EQ(zqltrace::U32Field(read.records[2], zqltrace::kReturnedLength), 0u);
    EXPECT_FALSE(zqltrace::FindField(read.records[2], zqltrace::kText));
    // The third block of the file: section (28 bytes), interface (32), start.
    EXPECT_EQ(read.records[0].offset, 60u);
}

TEST(TraceReader, TimestampsFollowTheInterfaceResolution) {
    Trace t;
    t.Section().Interface(zqltrace::kLinkType, 6); // microseconds
    t.Record({zqltrace::kSessionStart, 0, 1, 0, {}, 1, 0, 1500});
    EXPECT_EQ(ReadAll(t.bytes).records.at(0).time, 1500000u);
    Trace noOption;
    noOption.Section().Interface(zqltrace::kLinkType, -1); // pcapng's default: microseconds
    noOption.Record({zqltrace::kSessionStart, 0, 1, 0, {}, 1, 0, 7});
    EXPECT_EQ(ReadAll(noOption.bytes).records.at(0).time, 7000u);
}

TEST(TraceReader, ATraceCutByTheSizeLimitStartsAtALaterNumber) {
    Trace t;
    t.Section().Interface();
    t.Record({zqltrace::kContinued, 0, 9000, 0, Cat({Field(zqltrace::kText, Text("old.pcapng")), Arguments({8999})})});
    t.Record({zqltrace::kSessionEnd, 0, 9001, 0, {}});
    EXPECT_EQ(ReadAll(t.bytes).ending, Ending::kClosed);
}

// Each case: a change to the good session, the verdict, and words the
// sentence must hold (the block's offset, the record's number).
struct Broken {
    const char *name;
    std::function<void(Bytes &)> change;
    Ending ending;
    std::vector<std::string> says;
    std::size_t recordsBefore;
};

// Offsets in Session(): the section at 0, the interface at 28, records 1-5.
std::size_t RecordOffset(int n) {
    Bytes bytes = Session().bytes;
    std::size_t at = 60;
    for (int i = 1; i < n; ++i) {
        at += zqltrace::Le32(bytes, at + 4);
    }
    return at;
}

TEST(TraceReader, NamesTheRecordAndOffsetWhereAFileGoesWrong) {
    const std::size_t r3 = RecordOffset(3), r5 = RecordOffset(5);
    const std::string at3 = "record 3 (byte offset " + std::to_string(r3) + ")";
    const std::vector<Broken> cases = {
        {"unused space",
         [](Bytes &b) { b.resize(b.size() + 4096, 0); },
         Ending::kNotClosed,
         {"not closed", "4096 bytes of unused space"},
         5},
        {"no end record",
         [r5](Bytes &b) { b.resize(r5); },
         Ending::kNotClosed,
         {"not closed", "the last record, 4, is not the session's end"},
         4},
        {"cut inside a block", [r3](Bytes &b) { b.resize(r3 + 30); }, Ending::kTruncated, {"Truncated", at3}, 2},
        {"cut inside a header",
         [r3](Bytes &b) { b.resize(r3 + 5); },
         Ending::kTruncated,
         {"ends 5 bytes into", at3},
         2},
        {"block being written into unused space",
         [r3](Bytes &b) {
             const std::size_t end = r3 + zqltrace::Le32(b, r3 + 4);
             b.resize(end - 20);
             b.resize(end + 64, 0);
         },
         Ending::kTruncated,
         {"not written completely", at3},
         2},
        {"lengths disagree",
         [r3](Bytes &b) { b[r3 + zqltrace::Le32(b, r3 + 4) - 4] ^= 4; },
         Ending::kDamaged,
         {"another length", at3},
         2},
        {"odd block length", [r3](Bytes &b) { b[r3 + 4] ^= 1; }, Ending::kDamaged, {"multiple of 4", at3}, 2},
        {"unknown kind", [r3](Bytes &b) { b[r3 + 28 + 14] = 9; }, Ending::kDamaged, {"unknown kind 9", at3}, 2},
        {"export ordinal 19", [r3](Bytes &b) { b[r3 + 28 + 15] = 19; }, Ending::kDamaged, {"call 19", at3}, 2},
        {"number out of order", [r3](Bytes &b) { b[r3 + 28 + 22] = 7; }, Ending::kDamaged, {"number 7", at3}, 2},
        {"field past the end",
         [r3](Bytes &b) { b[r3 + 28 + 30 + 2] = 200; },
         Ending::kDamaged,
         {"runs past the record's end", at3},
         2},
        {"captured shorter than original",
         [r3](Bytes &b) { b[r3 + 24] += 4; },
         Ending::kDamaged,
         {"was cut to", at3},
         2},
        {"captured beyond the block",
         [r3](Bytes &b) { b[r3 + 21] = 1; },
         Ending::kDamaged,
         {"more than its block holds", at3},
         2},
        {"another dissector",
         [r3](Bytes &b) { b[r3 + 28 + 4] = 'Z'; },
         Ending::kForeign,
         {"another dissector", at3},
         2},
        {"no record header", [r3](Bytes &b) { b[r3 + 28] = 0x55; }, Ending::kDamaged, {"record header", at3}, 2},
        {"unknown interface", [r3](Bytes &b) { b[r3 + 8] = 1; }, Ending::kDamaged, {"interface 1", at3}, 2},
        {"garbage after the last block",
         [](Bytes &b) {
             b.insert(b.end(), {0, 0, 0, 0, 12, 0, 0, 0, 12, 0, 0, 0});
         },
         Ending::kDamaged,
         {"type 0", "record 6"},
         5},
        {"another link type", [](Bytes &b) { b[36] = 1; }, Ending::kForeign, {"link type 1", "byte offset 28"}, 0},
        {"big-endian section",
         [](Bytes &b) { std::swap(b[8], b[11]), std::swap(b[9], b[10]); },
         Ending::kForeign,
         {"big-endian"},
         0},
        {"classic pcap",
         [](Bytes &b) { b[0] = 0xD4, b[1] = 0xC3, b[2] = 0xB2, b[3] = 0xA1; },
         Ending::kForeign,
         {"classic pcap"},
         0},
        {"a text file",
         [](Bytes &b) { b = Text("index,channel_a,channel_b\n0,1,2\n"); },
         Ending::kForeign,
         {"not a pcapng file"},
         0},
        {"empty", [](Bytes &b) { b.clear(); }, Ending::kForeign, {"empty"}, 0},
        {"section cut", [](Bytes &b) { b.resize(20); }, Ending::kTruncated, {"section header"}, 0},
        {"pcapng version 2", [](Bytes &b) { b[12] = 2; }, Ending::kForeign, {"version 2"}, 0},
        {"binary time resolution", [](Bytes &b) { b[48] = 0x86; }, Ending::kForeign, {"timestamp resolution"}, 0},
    };
    for (const Broken &c : cases) {
        Bytes bytes = Session().bytes;
        c.change(bytes);
        const Read read = ReadAll(bytes);
        EXPECT_EQ(read.ending, c.ending) << c.name << ": " << read.problem;
        EXPECT_EQ(read.records.size(), c.recordsBefore) << c.name;
        for (const std::string &word : c.says) {
            EXPECT_NE(read.problem.find(word), std::string::npos) << c.name << ": \"" << read.problem << "\"";
        }
    }
}

// Every prefix and every single-bit change of a good trace ends in a
// verdict, with nothing read outside the bytes (the sanitizer lane checks
// the reads).
TEST(TraceReader, AnyCutOrFlippedBitEndsInAVerdict) {
    const Bytes good = Session().bytes;
    for (std::size_t n = 0; n < good.size(); ++n) {
        const Bytes cut(good.begin(), good.begin() + std::ptrdiff_t(n));
        const Read read = ReadAll(cut);
        EXPECT_NE(read.ending, Ending::kClosed) << n;
        EXPECT_NE(read.ending, Ending::kReading) << n;
        EXPECT_FALSE(read.problem.empty()) << n;
    }
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes flipped = good;
            flipped[i] ^= std::uint8_t(1 << bit);
            const Read read = ReadAll(flipped);
            EXPECT_NE(read.ending, Ending::kReading);
            for (const zqltrace::Record &r : read.records) {
                zqltrace::FieldWalk walk(r.fields);
                std::size_t total = 0;
                for (zqltrace::Field f; walk.Next(&f);) {
                    total += 6 + f.bytes.size();
                }
                EXPECT_EQ(total, r.fields.size()) << "byte " << i << " bit " << bit;
            }
        }
    }
}

} // namespace
