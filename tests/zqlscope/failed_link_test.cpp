// zqlscope when the link fails: every command that talks to the instrument
// reports it in one sentence on standard error and exits 1, and writes no
// points; roll marks the blocks it could not read and goes on, or stops with
// --stop-on-failure. Also the CSV's unit and block columns.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "commands.h"
#include "points_csv.h"
#include "support/fixture.h"
#include "zqlscope/run_zqlscope.h"

namespace testbed {
namespace {

namespace fs = std::filesystem;

fs::path Temp(const std::string &name) {
    return fs::temp_directory_path() /
           ("zqlscope-link-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" + name);
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

using FailedLinkTest = DeviceTest;

TEST_F(FailedLinkTest, EveryCommandThatReadsOrWritesSaysSoAndExits1) {
    struct Case {
        std::vector<std::string> args;
        const char *during;
    };
    const Case cases[] = {
        {{"capture", "--count", "10", "--csv", "-"}, "the scope record"},
        {{"pretrigger", "--csv", "-"}, "the pre-trigger memory"},
        {{"info"}, "the serial EEPROM's word 0"},
        {{"serial", "read", "3"}, "the serial EEPROM's word 3"},
        {{"i2c", "read", "0x10", "2"}, "the I2C EEPROM's read at 0x0010"},
        {{"i2c", "write", "0x10", "1"}, "the I2C EEPROM's write at 0x0010"},
        {{"write", "1=2"}, "the register writes"},
        {{"demo", "--out", Temp("demo").string()}, "the FPGA load"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        Restart();
        Device().faults.failWrites = 1000; // every write fails: the link never recovers
        const Outcome o = RunZqlscope(c.args);
        EXPECT_EQ(o.status, 1) << o.out << o.err;
        EXPECT_NE(o.err.find(std::string("the link to the instrument failed during ") + c.during), std::string::npos)
            << o.err;
        EXPECT_EQ(o.out.find("0,0,0"), std::string::npos) << "no points written: " << o.out;
        allowCallErrors = true;
    }
    fs::remove_all(Temp("demo"));
}

TEST_F(FailedLinkTest, InfoNamesTheLibraryBeforeAnythingElse) {
    Device().Detach(); // even when no instrument answers
    const Outcome o = RunZqlscope({"info"});
    EXPECT_EQ(o.status, 1);
    const std::vector<std::string> lines = Lines(o.out);
    ASSERT_GE(lines.size(), 2u) << o.out;
    EXPECT_EQ(lines[0].rfind("library:", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("zqlusb"), std::string::npos) << "the loaded file's path: " << lines[0];
    EXPECT_EQ(lines[1].rfind("library is:", 0), 0u) << lines[1];
}

TEST_F(FailedLinkTest, RollMarksTheBlocksItCouldNotReadAndGoesOnOrStops) {
    struct Case {
        const char *context;
        std::vector<std::string> extra;
        std::size_t blocksShown;
    };
    const Case cases[] = {{"goes on", {}, 4}, {"stops", {"--stop-on-failure"}, 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.context);
        Restart();
        Open();
        Device().failWriteAttempts = {1}; // block 2's request fails; block 3 sends again
        std::vector<std::string> args = {"roll", "--blocks", "4"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const Outcome o = RunZqlscope(args);
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.out.find("block 1: 300 points, valid\n"), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("block 2: not read, the link to the instrument failed"), std::string::npos) << o.out;
        EXPECT_EQ(o.out.find("block " + std::to_string(c.blocksShown + 1) + ":"), std::string::npos) << o.out;
        EXPECT_NE(o.out.find("block " + std::to_string(c.blocksShown) + ":"), std::string::npos) << o.out;
        EXPECT_NE(o.err.find("zqlscope roll: 1 block of " + std::to_string(c.blocksShown) + " not read"),
                  std::string::npos)
            << o.err;
        allowCallErrors = true;
    }
}

TEST(PointsCsvHeader, NamesTheColumnsWithTheirUnits) {
    struct Case {
        const char *context;
        zqlscope::signal::Units units;
        bool blocks;
        const char *header;
    };
    zqlscope::signal::Units rate, volts, zero;
    rate.sampleRate = 1e6;
    volts.a.voltsPerCount = 0.01;
    zero.b.zeroCount = 128;
    zqlscope::signal::Units all = volts;
    all.sampleRate = 250e3;
    const Case cases[] = {
        {"no unit options", {}, false, "index,channel_a,channel_b"},
        {"--sample-rate", rate, false, "index,time_s,channel_a,channel_b"},
        {"--volts-per-count A only", volts, false, "index,channel_a,channel_b,channel_a_V,channel_b_counts"},
        {"--zero-count only", zero, false, "index,channel_a,channel_b,channel_a_counts,channel_b_counts"},
        {"all, roll", all, true, "index,time_s,channel_a,channel_b,channel_a_V,channel_b_counts,block,block_state"},
        {"roll without units", {}, true, "index,channel_a,channel_b,block,block_state"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.context);
        EXPECT_EQ(zqlscope::PointsCsv::Header(c.units, c.blocks), c.header);
    }
}

TEST_F(FailedLinkTest, TheCsvCarriesTimeAndVoltsBesideTheCounts) {
    Device().acquisition.channelA = vi::Generator{vi::Shape::Dc, 1, 0, 138, 0};
    Device().acquisition.channelB = vi::Generator{vi::Shape::Dc, 1, 0, 100, 0};
    const Outcome o = RunZqlscope({"capture", "--count", "3", "--offset", "5", "--csv", "-", "--sample-rate", "2M",
                                   "--volts-per-count", "A=0.01,B=0.5", "--zero-count", "A=128"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(Lines(o.out),
              (std::vector<std::string>{"index,time_s,channel_a,channel_b,channel_a_V,channel_b_V",
                                        "5,0,138,100,0.1,50", "6,5e-07,138,100,0.1,50", "7,1e-06,138,100,0.1,50"}));
}

TEST_F(FailedLinkTest, RollsCsvMarksInvalidAndEmptyBlocks) {
    Open();
    Device().acquisition.rollInvalidBlocks = 1;
    Device().acquisition.rollNextBlockPoints = 300; // the first block; the second is the default
    const fs::path csv = Temp("roll.csv");
    Device().failWriteAttempts = {2}; // the third block's request
    const Outcome o = RunZqlscope({"roll", "--blocks", "3", "--csv", csv.string()});
    EXPECT_EQ(o.status, 1) << o.err;
    std::ifstream in(csv);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::string> lines = Lines(text);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "index,channel_a,channel_b,block,block_state");
    EXPECT_NE(lines[1].find(",1,invalid"), std::string::npos) << lines[1];
    EXPECT_NE(text.find(",2,valid\n"), std::string::npos);
    EXPECT_EQ(lines.back(), ",,,3,link failed");
    in.close();
    fs::remove(csv);
    allowCallErrors = true;
}

} // namespace
} // namespace testbed
