// zqlscope's command line run in-process over the virtual instrument: the
// arguments it refuses before touching the instrument, its help and version,
// and what it says with no instrument attached.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "commands.h"
#include "support/fixture.h"
#include "zqlscope/run_zqlscope.h"
#include "zqlscope/temp_path.h"

namespace testbed {
namespace {

namespace fs = std::filesystem;

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

TEST_F(ZqlscopeTest, DialogWithoutACommandSaysThatTheCommandIsMissing) {
    Outcome o = RunZqlscope({"--dialog"});
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find("zqlscope: a command is missing"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("unknown command"), std::string::npos) << o.err;
}


} // namespace
} // namespace testbed
