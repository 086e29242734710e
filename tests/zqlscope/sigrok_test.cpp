// The sigrok session's zip writer (its CRC, its layout, its size limit), the
// session's metadata and chunks, and the command-line side of --measure,
// the unit options and --sr. sigrok-cli itself reads the files in
// native.sigrok_session (tools/check-sigrok).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "commands.h"
#include "signal/measurements.h"
#include "sigrok/session_file.h"
#include "sigrok/zip_writer.h"
#include "support/fixture.h"
#include "virtual_instrument/acquisition_memory.h"

namespace {

using namespace zqlscope;

std::span<const std::uint8_t> Text(const char *text) {
    return {reinterpret_cast<const std::uint8_t *>(text), std::strlen(text)};
}

std::uint32_t U32At(const std::string &bytes, std::size_t at) {
    std::uint32_t v = 0;
    for (int k = 3; k >= 0; --k) {
        v = (v << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(k)]);
    }
    return v;
}

TEST(ZipWriter, Crc32OfKnownTexts) {
    EXPECT_EQ(sigrok::Crc32(Text("123456789")), 0xCBF43926u);
    EXPECT_EQ(sigrok::Crc32(Text("x")), 0x8CDC1683u);
    EXPECT_EQ(sigrok::Crc32(Text("")), 0u);
    // In two parts as in one.
    EXPECT_EQ(sigrok::Crc32(Text("6789"), sigrok::Crc32(Text("12345"))), 0xCBF43926u);
}

// Two entries: local headers of 30 bytes and the name, the bytes, then the
// directory's headers of 46 and the name, then the 22-byte end record.
TEST(ZipWriter, LaysOutStoredEntriesAndTheirDirectory) {
    std::ostringstream out;
    sigrok::ZipWriter zip(out, sigrok::DosTimeOf(2026, 12, 9, 1, 2, 4));
    ASSERT_TRUE(zip.Add("a", Text("x")));
    ASSERT_TRUE(zip.Add("bc", Text("")));
    zip.Finish();
    const std::string bytes = out.str();
    ASSERT_EQ(bytes.size(), 32u + 32 + 47 + 48 + 22);
    EXPECT_EQ(U32At(bytes, 0), 0x04034B50u);
    EXPECT_EQ(U32At(bytes, 14), 0x8CDC1683u) << "the CRC of \"x\"";
    EXPECT_EQ(U32At(bytes, 18), 1u) << "compressed size";
    EXPECT_EQ(U32At(bytes, 22), 1u) << "size";
    EXPECT_EQ(bytes.substr(30, 2), "ax");
    EXPECT_EQ(U32At(bytes, 32), 0x04034B50u);
    EXPECT_EQ(U32At(bytes, 64), 0x02014B50u);
    EXPECT_EQ(U32At(bytes, 64 + 47 + 42), 32u) << "the second entry's local header offset";
    const std::size_t end = bytes.size() - 22;
    EXPECT_EQ(U32At(bytes, end), 0x06054B50u);
    EXPECT_EQ(U32At(bytes, end + 8), 0x00020002u) << "two entries, on this disk and in all";
    EXPECT_EQ(U32At(bytes, end + 12), 95u) << "directory size";
    EXPECT_EQ(U32At(bytes, end + 16), 64u) << "directory offset";
    EXPECT_EQ(U32At(bytes, 10), (((2026u - 1980) << 9 | 12 << 5 | 9) << 16) | (1 << 11 | 2 << 5 | 2));
}

TEST(ZipWriter, RefusesAnEntryThatWouldPassTheLimit) {
    for (const std::uint64_t limit : {181u, 180u}) {
        std::ostringstream out;
        sigrok::ZipWriter zip(out, {}, limit);
        ASSERT_TRUE(zip.Add("a", Text("x")));
        EXPECT_EQ(zip.Add("bc", Text("")), limit == 181) << limit;
        zip.Finish();
        EXPECT_LE(out.str().size(), limit);
    }
}

std::string TempPath(const std::string &name) {
    return (std::filesystem::temp_directory_path() /
            ("zqlscope-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + name))
        .string();
}

TEST(SigrokSession, MetadataKeysInTheReadersOrder) {
    signal::Units units;
    std::string text = sigrok::Metadata(units, "a scope record");
    EXPECT_EQ(text.find("samplerate="), std::string::npos) << "no rate is known";
    EXPECT_NE(text.find("counts samples"), std::string::npos) << text;
    EXPECT_NE(text.find("[device 1]\ntotal analog=2\nanalog1=A\nanalog2=B\n"), std::string::npos) << text;
    ASSERT_EQ(signal::ParseUnitOption("--sample-rate", "2.5M", units), "");
    text = sigrok::Metadata(units, "a scope record");
    EXPECT_NE(text.find("[device 1]\nsamplerate=2500000\ntotal analog=2\nanalog1=A\nanalog2=B\n"), std::string::npos)
        << text;
    EXPECT_LT(text.find("[global]"), text.find("[device 1]"));
    EXPECT_TRUE(sigrok::WholeHertz(2.5e6));
    EXPECT_FALSE(sigrok::WholeHertz(0.5));
    EXPECT_FALSE(sigrok::WholeHertz(1000.5));
}

// A full chunk of 1,048,576 points, and half of another: the file ends
// after the first chunk when the second would pass the zip's limit.
TEST(SigrokSession, StopsAtTheZipLimitAfterAWholeChunk) {
    const std::string path = TempPath("limit.sr");
    std::vector<std::uint8_t> a(sigrok::kChunkPoints * 3 / 2, 7), b(a.size(), 9);
    {
        sigrok::SessionFile session(path, {}, "a test", 12u << 20);
        session.Add(a, b);
        EXPECT_EQ(session.Close(), path + ": 1048576 points per channel in 1 chunk; it ends there, at the 4 GiB "
                                          "limit of a zip without ZIP64");
    }
    EXPECT_LE(std::filesystem::file_size(path), 12u << 20);
    EXPECT_GT(std::filesystem::file_size(path), 8u * sigrok::kChunkPoints);
    std::filesystem::remove(path);
}

// The float32 samples of channel A in the first chunk: counts as they are.
TEST(SigrokSession, ChunksHoldFloat32Counts) {
    const std::string path = TempPath("counts.sr");
    {
        sigrok::SessionFile session(path, {}, "a test");
        session.Add(std::vector<std::uint8_t>{0, 128, 255}, std::vector<std::uint8_t>{1, 2, 3});
        EXPECT_EQ(session.Close(), path + ": 3 points per channel in 1 chunk");
    }
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::size_t at = bytes.find("analog-1-1-1");
    ASSERT_NE(at, std::string::npos);
    float values[3];
    std::memcpy(values, bytes.data() + at + 12, sizeof values);
    EXPECT_EQ(values[0], 0.0f);
    EXPECT_EQ(values[1], 128.0f);
    EXPECT_EQ(values[2], 255.0f);
    std::filesystem::remove(path);
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome RunLine(const std::vector<std::string> &line) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = RunCommandLine(line);
    Outcome o{status, ::testing::internal::GetCapturedStdout(), ""};
    o.err = ::testing::internal::GetCapturedStderr();
    return o;
}

using ZqlscopeMeasure = testbed::DeviceTest;

// capture --measure prints the module's table for the record it fetched:
// the virtual instrument's record of 1000 points from its capture start.
TEST_F(ZqlscopeMeasure, CapturePrintsTheTableOfItsRecord) {
    std::vector<std::uint8_t> a, b;
    for (int k = 0; k < 1000; ++k) {
        a.push_back(Device().acquisition.CapturePoint(k).a);
        b.push_back(Device().acquisition.CapturePoint(k).b);
    }
    std::ostringstream expected;
    signal::WriteMeasurementTable(expected, signal::Measure(a), signal::Measure(b), {});
    const Outcome o = RunLine({"capture", "--measure"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find(expected.str()), std::string::npos) << o.out << "\nexpected:\n" << expected.str();
    EXPECT_NE(o.out.find("period        500 points      128 points"), std::string::npos) << o.out;
}

TEST_F(ZqlscopeMeasure, UnitMistakesAreUsageErrors) {
    const struct {
        std::vector<std::string> line;
        const char *says;
    } cases[] = {
        {{"capture", "--sample-rate", "fast"}, "--sample-rate 'fast' is not a rate in hertz above 0"},
        {{"roll", "--volts-per-count", "A=0"}, "'0' is not a number of volts above 0"},
        {{"pretrigger", "--zero-count", "C=1"}, "the channels are A and B"},
        {{"capture", "--sr", "x.sr", "--sample-rate", "2.5"}, "--sr needs --sample-rate in whole hertz"},
        {{"capture", "--sr", "-"}, "--sr cannot go to standard output"},
        {{"capture", "--csv", "same.out", "--sr", "same.out"}, "--csv and --sr name the same file"},
        {{"roll", "--measure=yes"}, "--measure takes no value"},
    };
    for (const auto &c : cases) {
        const Outcome o = RunLine(c.line);
        EXPECT_EQ(o.status, 2) << c.line[1];
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_EQ(o.out, "") << "nothing was fetched";
    }
}

} // namespace
