// The files and streams zqlscope writes: file problems named before anything
// is sent, outputs behind symbolic links, a failed standard output, the CSV
// of a capture and of a roll, and a roll interrupted by Ctrl-C.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

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
#include "zqlscope/run_zqlscope.h"
#include "zqlscope/temp_path.h"

namespace testbed {
namespace {

namespace fs = std::filesystem;

using ZqlscopeTest = DeviceTest;

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
