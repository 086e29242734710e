// zqlscope live's command line: every mistake is refused with the usage and
// exit status 2 before a port is opened or the instrument is touched.
#include <gtest/gtest.h>

#include <algorithm>

#include "commands.h"
#include "signal/trigger.h"

namespace {

struct LiveMistake {
    std::vector<std::string> args;
    std::string says;
};

TEST(ZqlscopeLiveArguments, MistakesAreRefusedBeforeAnythingStarts) {
    const std::vector<LiveMistake> cases = {
        {{"--mode", "fast"}, "--mode must be roll or capture, not 'fast'"},
        {{"--mode"}, "--mode needs a value"},
        {{"--mode=capture", "--count=x"}, "--count must be a number from 1 to 32768"},
        {{"--port", "65536"}, "--port must be a number from 0 to 65535"},
        {{"--port", "-1"}, "--port must be a number from 0 to 65535"},
        {{"--port", "80x"}, "--port must be a number"},
        {{"--listen", "localhost"}, "--listen must be an IPv4 or IPv6 address, not 'localhost'"},
        {{"--listen", "300.1.2.3"}, "--listen must be an IPv4 or IPv6 address"},
        {{"--count", "100"}, "it needs --mode capture"},
        {{"--mode", "capture", "--count", "0"}, "--count must be a number from 1 to 32768"},
        {{"--mode", "capture", "--count", "32769"}, "--count must be a number from 1 to 32768"},
        {{"now"}, "'now'"},
        {{"--colour", "red"}, "unknown option '--colour'"},
        {{"--port=8080", "--port", "8081"}, "--port is given twice"},
        {{"--open=yes"}, "--open takes no value"},
        {{"--allow-host", "scope lan"},
         "--allow-host takes host names of letters, digits, '-' and '.', not 'scope lan'"},
        {{"--allow-host", "scope.lan,,x"}, "not ''"},
        {{"--allow-host", ""}, "--allow-host needs a value"},
        {{"--trigger", "c:rising:1"}, "the source is a or b"},
        {{"--trigger", "a:rising:256"}, "'a:rising:256' is not SOURCE:SLOPE:LEVEL"},
        {{"--trigger-mode", "sometimes"}, "'sometimes' is not a trigger mode"},
        {{"--trigger-position", "101"}, "--trigger-position must be a number from 0 to 100"},
        {{"--holdoff", "-1"}, "--holdoff must be a number from 0 to 1000000000"},
        {{"--sample-rate", "fast"}, "--sample-rate 'fast' is not a rate in hertz"},
        {{"--volts-per-count", "A=x"}, "--volts-per-count 'A=x' is not A=VALUE,B=VALUE"},
        {{"--zero-count", "C=1"}, "the channels are A and B"},
    };
    for (const LiveMistake &c : cases) {
        std::vector<std::string> line = {"live"};
        line.insert(line.end(), c.args.begin(), c.args.end());
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = zqlscope::RunCommandLine(line);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(status, 2);
        EXPECT_EQ(out, "") << "no URL is printed";
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
        EXPECT_NE(err.find("usage: zqlscope live"), std::string::npos) << err;
    }
}

// The help names exactly the trigger modes the option takes.
TEST(ZqlscopeLiveArguments, TheTriggerModesOfTheHelpAreTheOnesTaken) {
    std::string placeholder;
    for (const zqlscope::OptionSpec &option : zqlscope::LiveSyntax().options) {
        placeholder = option.name == "--trigger-mode" ? option.placeholder : placeholder;
    }
    ASSERT_FALSE(placeholder.empty());
    std::vector<std::string> named;
    for (std::size_t start = 0; start <= placeholder.size();) {
        const std::size_t bar = std::min(placeholder.find('|', start), placeholder.size());
        named.push_back(placeholder.substr(start, bar - start));
        start = bar + 1;
    }
    EXPECT_EQ(named, (std::vector<std::string>{"off", "auto", "normal", "single"}));
    for (const std::string &mode : named) {
        zqlscope::signal::TriggerMode parsed{};
        EXPECT_EQ(zqlscope::signal::ParseMode(mode, parsed), "") << mode;
    }
}

} // namespace
