// The plots zqlscope draws: round tick values inside the axis range, and tick
// labels on the grid lines for records of any length.
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "commands.h"
#include "support/fixture.h"
#include "waveform_files.h"
#include "zqlscope/run_zqlscope.h"
#include "zqlscope/temp_path.h"

namespace testbed {
namespace {

namespace fs = std::filesystem;

using ZqlscopeTest = DeviceTest;

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

} // namespace
} // namespace testbed
