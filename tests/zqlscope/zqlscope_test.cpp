// zqlscope run in-process over the virtual instrument: its argument checks,
// its error messages and exit statuses, and the files it writes.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#endif

#include "commands.h"
#include "support/fixture.h"
#include "waveform_files.h"
#include "zqlscope/run_zqlscope.h"

namespace testbed {
namespace {

namespace fs = std::filesystem;

fs::path TempPath(const std::string &name) {
    return fs::temp_directory_path() /
           ("zqlscope-test-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            name);
}

using ZqlscopeTest = DeviceTest;

TEST_F(ZqlscopeTest, ArgumentsOutOfRangeAreRefusedBeforeTheInstrumentIsTouched) {
    const std::vector<std::vector<std::string>> cases = {
        {"capture", "--count", "0"},
        {"capture", "--count", "32769"},
        {"capture", "--count", "0x8001"},
        {"capture", "--offset", "32767", "--count", "2"},
        {"capture", "--step", "0"},
        {"capture", "--count", "12abc"},
        {"capture", "--count", " 5"},
        {"capture", "--count", "5 "},
        {"capture", "--count", "0x 5"},
        {"capture", "--count", "0x5 "},
        {"capture", "--count", "+5"},
        {"capture", "--count", "\t5"},
        {"roll", "--blocks=\n2"},
        {"serial", "read", " 3"},
        {"i2c", "read", "0x -1"},
        {"write", "1= 2"},
        {"capture", "--count", "-5"},
        {"capture", "--count"},
        {"capture", "--colour", "red"},
        {"roll", "--blocks", "0"},
        {"i2c", "read", "0x10000"},
        {"i2c", "read", "0xFFFF", "2"},
        {"i2c", "write", "5", "256"},
        {"i2c", "write", "5"},
        {"i2c", "erase", "5"},
        {"serial", "read", "64"},
        {"write", "256=1"},
        {"write", "1=0x100"},
        {"write", "17"},
        {"fpga", "load"},
        {"frobnicate"},
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Outcome o = RunZqlscope(args);
        EXPECT_EQ(o.status, 2);
        EXPECT_FALSE(o.err.empty());
        EXPECT_TRUE(Device().transfers.empty());
        EXPECT_TRUE(Device().openHandles.empty()) << "not even opened";
    }
}

TEST_F(ZqlscopeTest, StrayAndMalformedWordsAreNamedAndRefused) {
    struct Case {
        std::vector<std::string> args;
        std::string says; // in the error, besides the command's usage
    };
    const std::vector<Case> cases = {
        {{"capture", "500"}, "unexpected argument '500'"},
        {{"capture", "-c", "5"}, "unknown option '-c'"},
        {{"capture", "--count=0"}, "--count must be a number from 1 to 32768 (decimal or 0x hex), not '0'"},
        {{"capture", "--count="}, "--count needs a value"},
        {{"capture", "--count", "5", "--count", "6"}, "--count is given twice"},
        {{"capture", "--offset", "32000", "--count", "1000"},
         "--count 1000 does not fit after --offset 32000: the record ends at index 32767, so --count can be at most "
         "768"},
        {{"capture", "--csv", "--svg", "x.svg"}, "--csv needs a value: --csv FILE, not '--svg'"},
        {{"capture", "--dialog=yes"}, "--dialog takes no value"},
        {{"roll", "10"}, "unexpected argument '10'"},
        {{"roll", "--blocks", "1000001"}, "--blocks must be a number from 1 to 1000000"},
        {{"pretrigger", "out.csv"}, "unexpected argument 'out.csv' (did you mean --csv out.csv?)"},
        {{"info", "extra"}, "unexpected argument 'extra'"},
        {{"info", "--", "--dialog"}, "unexpected argument '--dialog'"},
        {{"fpga", "load", "a.bit", "b.bit"}, "unexpected argument 'b.bit'"},
        {{"fpga", "unload", "a.bit"}, "expected load, not 'unload'"},
        {{"serial", "read", "1", "2"}, "unexpected argument '2'"},
        {{"i2c", "read", "0", "1", "2"}, "unexpected argument '2'"},
        {{"i2c", "read", "0xFFFF", "2"},
         "COUNT 2 does not fit: the I2C EEPROM ends at 0xFFFF, so at most 1 byte can be read from 0xFFFF"},
        {{"i2c", "write", "0xFFFE", "1", "2", "3"},
         "3 values do not fit: the I2C EEPROM ends at 0xFFFF, so at most 2 bytes can be written from 0xFFFE"},
        {{"demo", "--out"}, "--out needs a value: --out DIR"},
        {{"demo", "now"}, "unexpected argument 'now'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Outcome o = RunZqlscope(c.args);
        EXPECT_EQ(o.status, 2);
        EXPECT_NE(o.err.find("zqlscope " + c.args[0] + ": " + c.says), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("usage: zqlscope " + c.args[0] + " [options]"), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty()) << o.out;
        EXPECT_TRUE(Device().openHandles.empty()) << "not even opened";
    }
}

TEST_F(ZqlscopeTest, HelpAndVersionWorkAtTheTopAndForEveryCommand) {
    std::vector<std::vector<std::string>> cases = {{"--help"}, {"-h"}, {"help"}, {"--version"}};
    for (const auto &command : zqlscope::Commands()) {
        cases.push_back({command.syntax.name, "--help"});
        cases.push_back({command.syntax.name, "--count", "0", "-h"}); // help even after a mistake
        cases.push_back({command.syntax.name, "--version"});
    }
    for (const auto &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        Outcome o = RunZqlscope(args);
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(o.err.empty()) << o.err;
        const bool version = args.back() == "--version";
        EXPECT_NE(o.out.find(version ? "zqlscope 1." : "usage: zqlscope"), std::string::npos) << o.out;
        EXPECT_TRUE(Device().openHandles.empty());
    }
    // A command's help lists each of its options with its default.
    Outcome capture = RunZqlscope({"capture", "--help"});
    for (const char *line :
         {"--count N", "(default: 1000)", "--offset O", "(default: 0)", "--step S",
          "spacing of the points in the record", "(default: 1)", "--csv FILE", "--svg FILE", "ZQLUSB_VIRTUAL_SCRIPT"}) {
        EXPECT_NE(capture.out.find(line), std::string::npos) << line;
    }
}

TEST_F(ZqlscopeTest, AnOptionsValueMayFollowAnEqualsSign) {
    Device().acquisition.freeRunning = false; // both runs capture the same record
    fs::path spaced = TempPath("spaced.csv"), joined = TempPath("joined.csv");
    ASSERT_EQ(RunZqlscope({"capture", "--count", "40", "--step", "3", "--csv", spaced.string()}).status, 0);
    ASSERT_EQ(RunZqlscope({"capture", "--count=40", "--step=0x3", "--csv=" + joined.string()}).status, 0);
    std::ifstream a(spaced), b(joined);
    std::string textA((std::istreambuf_iterator<char>(a)), {}), textB((std::istreambuf_iterator<char>(b)), {});
    EXPECT_EQ(std::count(textA.begin(), textA.end(), '\n'), 1 + 14);
    EXPECT_EQ(textA, textB);
    a.close();
    b.close();
    fs::remove(spaced);
    fs::remove(joined);
}

TEST_F(ZqlscopeTest, WithNoInstrumentAttachedEveryCommandSaysSoAndFails) {
    Device().Detach();
    const std::vector<std::vector<std::string>> cases = {{"info"},
                                                         {"capture"},
                                                         {"roll"},
                                                         {"pretrigger"},
                                                         {"serial", "read", "1"},
                                                         {"demo", "--out", TempPath("demo").string()}};
    for (const auto &args : cases) {
        SCOPED_TRACE(args[0]);
        Outcome o = RunZqlscope(args);
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find("no Zelqa instrument is attached (USBInitDevice returned 256)"), std::string::npos)
            << o.err;
    }
    fs::remove_all(TempPath("demo"));
}

TEST_F(ZqlscopeTest, FileProblemsNameTheFileAndTheReasonBeforeAnythingIsSent) {
    const fs::path dir = TempPath("files");
    fs::create_directories(dir);
    const std::string folder = dir.string(), missing = (dir / "missing.bit").string(),
                      empty = (dir / "empty.bit").string(), large = (dir / "large.bit").string(),
                      nowhere = (dir / "no" / "x.csv").string(), same = (dir / "x").string();
    std::ofstream(empty).close();
    // Written out rather than resized: under Wine resize_file once failed
    // with "File too large" on this 8 MiB+1 file.
    std::ofstream(large, std::ios::binary) << std::string((8u << 20) + 1, '\0');
    struct Case {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> says;
    };
    const std::vector<Case> cases = {
        {{"fpga", "load", missing}, 1, {"cannot read the bit stream file " + missing + ": it does not exist"}},
        {{"fpga", "load", folder}, 1, {"cannot read the bit stream file " + folder + ": it is a folder, not a file"}},
        {{"fpga", "load", empty}, 1, {"cannot read the bit stream file " + empty + ": it is empty"}},
        {{"fpga", "load", large},
         1,
         {"cannot read the bit stream file " + large +
          ": it is larger than 8388608 bytes, the most a bit stream file can hold"}},
        {{"capture", "--csv", nowhere}, 1, {"cannot write " + nowhere + " (--csv): the folder ", "does not exist"}},
        {{"roll", "--blocks", "1000000", "--svg", folder}, 1, {"cannot write " + folder + " (--svg): it is a folder"}},
        {{"pretrigger", "--csv", same, "--svg", same}, 2, {"--csv and --svg name the same file, " + same}},
        {{"capture", "--csv", (dir / "." / "x").string(), "--svg", same}, 2, {"name the same file"}},
        {{"capture", "--svg", "-"}, 2, {"--svg cannot go to standard output; only --csv can"}},
        {{"demo", "--out", empty}, 1, {"cannot create the output folder " + empty}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Outcome o = RunZqlscope(c.args);
        EXPECT_EQ(o.status, c.status);
        for (const std::string &text : c.says) {
            EXPECT_NE(o.err.find(text), std::string::npos) << o.err;
        }
        EXPECT_TRUE(Device().openHandles.empty()) << "not even opened";
        EXPECT_TRUE(Device().transfers.empty());
    }
    EXPECT_FALSE(fs::exists(same)) << "checking an output creates nothing";
    fs::remove_all(dir);
}

#ifndef _WIN32
// An output named by a symbolic link is written through the link: the link
// stays, its target gets the data, and the check before the run leaves no
// file behind when the run fails.
TEST_F(ZqlscopeTest, AnOutputBehindASymbolicLinkIsWrittenThroughIt) {
    const fs::path dir = TempPath("links");
    fs::remove_all(dir);
    fs::create_directories(dir / "tgt");
    const struct {
        std::string link, target; // the link's text, relative to dir
        bool targetExists;
    } cases[] = {{"dangling.csv", "tgt/target.csv", false},
                 {"existing.csv", "tgt/old.csv", true},
                 {"chain.csv", "dangling2.csv", false}};
    fs::create_symlink("tgt/end.csv", dir / "dangling2.csv");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.link);
        const fs::path link = dir / c.link;
        if (c.targetExists) {
            std::ofstream(dir / c.target) << "old\n";
        }
        fs::create_symlink(c.target, link);
        const fs::path reached = c.link == "chain.csv" ? dir / "tgt/end.csv" : dir / c.target;
        // A run refused after the check of --csv (its --svg is a folder) leaves the target as it was.
        Outcome refused = RunZqlscope({"capture", "--csv", link.string(), "--svg", (dir / "tgt").string()});
        EXPECT_EQ(refused.status, 1) << refused.err;
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::exists(reached), c.targetExists) << "the check left a file behind";

        Outcome o = RunZqlscope({"capture", "--count", "4", "--csv", link.string()});
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_TRUE(fs::is_symlink(link)) << "the link was replaced";
        std::ifstream in(reached);
        std::string first;
        std::getline(in, first);
        EXPECT_EQ(first, "index,channel_a,channel_b");
        EXPECT_EQ(fs::file_size(reached), fs::file_size(link)) << "both names reach one file";
    }
    fs::remove_all(dir);
}

// Standard output that cannot be written (here /dev/full) fails the command:
// exit 1 with a sentence that gives the system's reason.
TEST_F(ZqlscopeTest, AFailedStandardOutputFailsEveryCommand) {
    const std::vector<std::vector<std::string>> cases = {
        {"info"},
        {"i2c", "read", "0", "16"},
        {"serial", "read", "3"},
        {"capture", "--count", "4000", "--csv", "-"},
        {"roll", "--blocks", "1", "--quiet", "--csv", "-"},
        {"--help"},
        {"capture", "--version"},
    };
    for (const auto &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::fflush(stdout);
        const int saved = dup(1);
        const int full = open("/dev/full", O_WRONLY);
        ASSERT_GE(full, 0);
        dup2(full, 1);
        close(full);
        ::testing::internal::CaptureStderr();
        const int status = zqlscope::RunCommandLine(args);
        const std::string err = ::testing::internal::GetCapturedStderr();
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        std::clearerr(stdout);
        std::cout.clear();
        EXPECT_EQ(status, 1) << err;
        EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
        EXPECT_EQ(err.find("the file could not be written"), std::string::npos) << err;
    }
}
#endif

TEST_F(ZqlscopeTest, CsvToStandardOutputKeepsTheMessagesOnStandardError) {
    struct Case {
        std::vector<std::string> args;
        std::size_t points;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"capture", "--count", "5", "--csv", "-"}, 5, "record (offset 0, step 1): 5 points"},
        {{"roll", "--blocks", "2", "--csv", "-"}, 600, "roll mode, 2 blocks: 600 points"},
        {{"roll", "--blocks", "1", "--quiet", "--csv", "-"}, 300, "roll mode, 1 block: 300 points"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Outcome o = RunZqlscope(c.args);
        ASSERT_EQ(o.status, 0) << o.err;
        const std::string header =
            c.args[0] == "roll" ? "index,channel_a,channel_b,block,block_state" : "index,channel_a,channel_b";
        EXPECT_EQ(o.out.rfind(header + "\n0,", 0), 0u) << o.out.substr(0, 80);
        EXPECT_EQ(std::size_t(std::count(o.out.begin(), o.out.end(), '\n')), 1 + c.points);
        EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("block 1:") != std::string::npos, c.args[0] == "roll" && c.points == 600) << o.err;
    }
    EXPECT_FALSE(fs::exists("-"));
}

TEST_F(ZqlscopeTest, TheCsvHoldsExactlyThePointsOfTheRecord) {
    Device().acquisition.freeRunning = false; // the library's own read captures the same record
    fs::path csv = TempPath("capture.csv");
    Outcome o = RunZqlscope({"capture", "--count", "100", "--offset", "0x0A", "--step", "3", "--csv", csv.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    // The same request made directly through the library.
    auto record = std::make_unique<OutPutData>();
    const std::uint8_t header[] = {100, 0, 10, 0, 3, 0};
    std::copy(std::begin(header), std::end(header), record->TempBufferA);
    USBRetrieveScopeData(record.get());
    std::ifstream in(csv);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "index,channel_a,channel_b");
    int index = 10;
    while (std::getline(in, line)) {
        std::ostringstream expected;
        expected << index << ',' << int(record->TempBufferA[index]) << ',' << int(record->TempBufferB[index]);
        EXPECT_EQ(line, expected.str());
        index += 3;
    }
    EXPECT_EQ(index, 10 + 34 * 3) << "34 points: indices 10, 13, ..., 109";
    in.close(); // Windows removes no open file
    fs::remove(csv);
}

TEST_F(ZqlscopeTest, I2cCommandsComputeTheConfirmationCodeAndRoundTrip) {
    ASSERT_EQ(RunZqlscope({"i2c", "write", "0x1FE", "0x11", "0x22", "0x33"}).status, 0);
    Outcome o = RunZqlscope({"i2c", "read", "0x1FE", "3"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "0x01FE: 11 22 33\n");
}

TEST_F(ZqlscopeTest, ARefusedConfirmationCodeIsReportedAsGivenAndNothingIsWritten) {
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"i2c", "write", "0x10", "5", "--code", "0"},
         "refused the confirmation code 0x0000 for I2C EEPROM address 0x0010"},
        // 0x93CA is address 0's code: a code cut to 16 bits would look right.
        {{"i2c", "read", "0", "--code", "0x193CA"},
         "refused the confirmation code 0x193CA for I2C EEPROM address 0x0000"},
        {{"i2c", "write", "0", "1", "--code", "0xFFFFFFFF"}, "refused the confirmation code 0xFFFFFFFF for"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Outcome o = RunZqlscope(c.args);
        EXPECT_EQ(o.status, 1);
        EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
        EXPECT_TRUE(Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM).empty());
    }
}

TEST_F(ZqlscopeTest, DialogWithoutACommandSaysThatTheCommandIsMissing) {
    Outcome o = RunZqlscope({"--dialog"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("zqlscope: a command is missing"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("unknown command"), std::string::npos) << o.err;
}

TEST_F(ZqlscopeTest, WriteSendsTheRegisterWritesInOneTransfer) {
    ASSERT_EQ(RunZqlscope({"write", "0x10=0x20", "17=255"}).status, 0);
    ASSERT_EQ(Streams().size(), 1u);
    EXPECT_BYTES(Streams()[0], (Bytes{0x01, 0x10, 0x02, 0x20, 0x01, 0x11, 0x02, 0xFF}));
}

TEST_F(ZqlscopeTest, TheDemoRunsAWholeSessionAndWritesItsPlots) {
    fs::path dir = TempPath("demo");
    Outcome o = RunZqlscope({"demo", "--out", dir.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    for (const char *name : {"capture", "roll", "pretrigger"}) {
        SCOPED_TRACE(name);
        std::ifstream svg(dir / (std::string(name) + ".svg"));
        std::string text((std::istreambuf_iterator<char>(svg)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find(" points=\"7"), std::string::npos) << "a line or a band in the plot";
        EXPECT_NE(text.find(">point number</text>"), std::string::npos);
        // The listing names each file written, the CSV files too.
        for (const char *suffix : {".csv", ".svg"}) {
            const std::string file = dir.string() + "/" + name + suffix;
            EXPECT_TRUE(fs::exists(file));
            EXPECT_NE(o.out.find("\n  " + file + "\n"), std::string::npos) << o.out;
        }
    }
    EXPECT_NE(o.out.find("driver version    1.3"), std::string::npos) << o.out;
    EXPECT_FALSE(Device().rawBytes.empty()) << "the FPGA was loaded";
    fs::remove_all(dir);
}

TEST(ZqlscopeTicks, AreRoundValuesInsideTheRange) {
    struct Case {
        long long low, high;
        int maxIntervals;
        std::vector<long long> ticks;
    };
    const std::vector<Case> cases = {
        {0, 999, 10, {0, 100, 200, 300, 400, 500, 600, 700, 800, 900}},
        {0, 31999, 10, {0, 5000, 10000, 15000, 20000, 25000, 30000}},
        {0, 4095, 10, {0, 500, 1000, 1500, 2000, 2500, 3000, 3500, 4000}},
        {5, 32, 10, {5, 10, 15, 20, 25, 30}},
        {0, 255, 8, {0, 50, 100, 150, 200, 250}},
        {3, 12, 10, {3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {7, 7, 10, {7}},
        {-1, 1, 10, {-1, 0, 1}},
        {0, 1343999999, 10, {0, 200000000, 400000000, 600000000, 800000000, 1000000000, 1200000000}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.low) + ".." + std::to_string(c.high));
        EXPECT_EQ(zqlscope::TickValues(c.low, c.high, c.maxIntervals), c.ticks);
    }
}

// The numbers of every match of `pattern`'s first group in `text`.
std::vector<double> Numbers(const std::string &text, const std::string &pattern) {
    std::vector<double> out;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
        out.push_back(std::stod((*it)[1]));
    }
    return out;
}

TEST_F(ZqlscopeTest, PlotsOfAnyLengthHaveTheirTickLabelsOnTheGridLines) {
    struct Case {
        std::vector<std::string> args;
        std::string title;
        bool band; // more points than pixel columns
    };
    const std::vector<Case> cases = {
        {{"capture", "--count", "1"}, "Scope record (1 point)", false},
        {{"capture", "--count", "2"}, "Scope record (2 points)", false},
        {{"capture", "--count", "10", "--offset", "5", "--step", "3"}, "Scope record (4 points)", false},
        {{"capture", "--count", "900"}, "Scope record (900 points)", false},
        {{"capture", "--count", "901"}, "Scope record (901 points)", true},
        {{"capture", "--count", "32768"}, "Scope record (32768 points)", true},
        {{"pretrigger"}, "Pre-trigger memory (32000 points)", true},
        {{"roll", "--blocks", "7", "--quiet"}, "Roll mode (2100 points)", true},
    };
    const fs::path svg = TempPath("plot.svg");
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--svg", svg.string()});
        ASSERT_EQ(RunZqlscope(args).status, 0);
        std::ifstream in(svg);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find(">" + c.title + "</text>"), std::string::npos);
        const std::vector<double> grid = Numbers(text, "<line x1=\"([0-9.]+)\" y1=\"44\"");
        const std::vector<double> labels = Numbers(text, "<text x=\"([0-9.]+)\" y=\"430\"");
        const std::vector<double> values = Numbers(text, "y=\"430\" text-anchor=\"middle\">(-?[0-9]+)<");
        EXPECT_EQ(grid, labels) << "each label on its grid line";
        ASSERT_FALSE(values.empty());
        for (std::size_t i = 2; i < values.size(); ++i) {
            EXPECT_EQ(values[i] - values[i - 1], values[1] - values[0]) << "evenly spaced";
        }
        const std::string label = c.args.size() > 6 ? "record index (points spaced 3 apart)" : "point number";
        EXPECT_NE(text.find(">" + label + "</text>"), std::string::npos);
        const std::size_t bands = Numbers(text, "<polygon fill=\"#[0-9a-f]+\" fill-opacity=\"(0\\.[0-9]+)\"").size();
        EXPECT_EQ(bands, c.band ? 2u : 0u) << "one semi-transparent band per channel";
        EXPECT_EQ(text.find("<polyline") != std::string::npos, !c.band);
        EXPECT_EQ(text.find("nan"), std::string::npos);
        in.close();
    }
    fs::remove(svg);
}

TEST_F(ZqlscopeTest, RollWritesEveryBlockOfTheRunToTheCsv) {
    const fs::path csv = TempPath("roll.csv");
    Outcome o = RunZqlscope({"roll", "--blocks", "12", "--csv", csv.string()});
    ASSERT_EQ(o.status, 0) << o.err;
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);
    long long expected = 0;
    while (std::getline(in, line)) {
        ASSERT_EQ(line.substr(0, line.find(',')), std::to_string(expected)) << "consecutive point numbers";
        ++expected;
    }
    EXPECT_NE(o.out.find("roll mode, 12 blocks: " + std::to_string(expected) + " points"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("block 12: 300 points, valid\n"), std::string::npos) << o.out;
    in.close();
    fs::remove(csv);
}

#ifndef _WIN32
// zqlscope as its own process, interrupted by SIGINT while rolling: it stops
// after the current block, keeps every block it reported in the CSV and
// exits with 130.
TEST(ZqlscopeInterrupt, CtrlCWhileRollingKeepsEveryBlockReportedAsSaved) {
    const fs::path dir = fs::temp_directory_path() / ("zqlscope-test-interrupt-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string csv = (dir / "roll.csv").string(), err = (dir / "err.txt").string();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], 1);
        close(out[0]);
        const int errFile = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(errFile, 2);
        execl(ZQLSCOPE_PROGRAM, ZQLSCOPE_PROGRAM, "roll", "--blocks", "1000000", "--csv", csv.c_str(), nullptr);
        _exit(127);
    }
    close(out[1]);
    FILE *lines = fdopen(out[0], "r");
    char line[256];
    int reported = 0;
    while (std::fgets(line, sizeof line, lines) != nullptr) {
        reported += std::strncmp(line, "block ", 6) == 0;
        if (reported == 5) {
            kill(child, SIGINT);
            reported = 6; // once
        }
    }
    std::fclose(lines);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by the signal";
    EXPECT_EQ(WEXITSTATUS(status), 130);
    std::ifstream errText(err);
    const std::string said((std::istreambuf_iterator<char>(errText)), std::istreambuf_iterator<char>());
    std::smatch m;
    ASSERT_TRUE(std::regex_search(said, m,
                                  std::regex("interrupted after ([0-9]+) blocks? of 1000000; \\1 blocks? "
                                             "\\(([0-9]+) points?\\) saved")))
        << said;
    std::ifstream in(csv);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + std::stoll(m[2])) << "every saved point in the CSV";
    EXPECT_GE(std::stoll(m[1]), 5);
    EXPECT_EQ(std::stoll(m[2]), std::stoll(m[1]) * 300);
    in.close();
    fs::remove_all(dir);
}
#endif

} // namespace
} // namespace testbed
