// The instrument's script (ZQLUSB_VIRTUAL_SCRIPT): one case per statement,
// applied to the test's instrument and seen through the exports; mistakes
// that make the whole script ignored; the variable read by the default
// instrument.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "acquisition/record.h"
#include "support/library.h"
#include "virtual_instrument/script.h"

namespace testbed {
namespace {

// Through the driver, the library's open attempts while the instrument is
// unplugged (its interface disabled) end in Wine's SetupAPI and never reach
// the driver, so `replug after` counts only the transfers there.
constexpr char kReplugNotApplicable[] =
    "not applicable through the driver: open attempts with the interface disabled never reach it, "
    "so replug after counts only transfers";

using ScriptTest = DeviceTest;

constexpr int kRetry = 4;

void Apply(const std::string &text) {
    std::string error;
    std::optional<vi::Script> script = vi::ParseScript(text, &error);
    ASSERT_TRUE(script) << error;
    vi::ApplyScript(vi::Device(), *script);
}

// A letter per call, its result in the same order: r DeviceReady, o
// USBInitDevice, w a register write flushed (whether the stream transfer
// went through), v a roll-mode block (its invalid flag).
std::string Calls(const std::string &calls) {
    std::string results;
    for (char call : calls) {
        int result = 0;
        if (call == 'r') {
            result = DeviceReady();
        } else if (call == 'o') {
            result = USBInitDevice() == 0;
        } else if (call == 'w') {
            const std::size_t before = vi::Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM).size();
            USBWriteData(0x42);
            USBFlushBuffer();
            const auto streams = vi::Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM);
            result = streams.size() > before && streams.back().ok;
        } else if (call == 'v') {
            Record record;
            USBRetrieveRollModeData(record.data.get());
            result = record.data->TempBufferB[0];
        }
        results += static_cast<char>('0' + result);
    }
    return results;
}

TEST_F(ScriptTest, EachStatementChangesTheInstrumentAsDocumented) {
    const struct {
        const char *script;
        const char *calls;
        const char *results;
    } cases[] = {
        {"", "rwwv", "1110"},
        {"fail-writes 2", "wwwr", "0011"},
        {"invalid-roll 2", "vvvw", "1101"},
        // Three transfers, then detached: transfers and open attempts count
        // towards the re-attachment, after which a reopen finds it.
        {"unplug after=3; replug after=2", "rrrrrror", "11100011"},
        {"unplug after=1\nreplug after=2", "rooor", "10011"},
        {"unplug after=0", "oooo", "0000"},
        {"unplug after=2", "rrrrrrrrooo", "11000000000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        if (kThroughDriver && std::string(c.script).find("replug") != std::string::npos) {
            std::string oneLine = c.script; // the listing takes one line a case
            std::replace(oneLine.begin(), oneLine.end(), '\n', ';');
            std::printf("[  N/A     ] script \"%s\": %s\n", oneLine.c_str(), kReplugNotApplicable);
            continue;
        }
        Restart();
        Apply(c.script);
        ASSERT_EQ(USBInitDevice(), std::string(c.script) == "unplug after=0" ? 256 : 0);
        EXPECT_EQ(Calls(c.calls), c.results);
    }
}

TEST_F(ScriptTest, ChannelStatementsSetTheSignalsThatAreCaptured) {
    const struct {
        const char *script;
        vi::Generator a, b; // what the pre-trigger memory must hold
    } cases[] = {
        {"a sine period=500 amplitude=100 offset=128; b noise seed=7 amplitude=20",
         {vi::Shape::Sine, 500, 100, 128, 0},
         {vi::Shape::Noise, 128, 20, 128, 7}},
        {"a dc offset=3; b triangle period=64 amplitude=50 offset=60",
         {vi::Shape::Dc, 500, 100, 3, 0},
         {vi::Shape::Triangle, 64, 50, 60, 0}},
        {"b square period=10; a noise seed=1 amplitude=127 offset=128; b square amplitude=5",
         {vi::Shape::Noise, 500, 127, 128, 1},
         {vi::Shape::Square, 10, 5, 128, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        Restart();
        Apply(c.script);
        Open();
        Record record;
        USBRetrievePreTriggerData(record.data.get());
        for (std::size_t j = 0; j < ZQLUSB_PRETRIGGER_POINTS; j += 97) {
            const std::int64_t at = static_cast<std::int64_t>(j) - ZQLUSB_PRETRIGGER_POINTS;
            ASSERT_EQ(record.At(j), (vi::Point{c.a.At(at), c.b.At(at)})) << "point " << j;
        }
    }
}

TEST_F(ScriptTest, TheRetryDialogAppearsAndRetryRecoversOnceTheInstrumentIsBack) {
    if (kThroughDriver) {
        GTEST_SKIP() << kReplugNotApplicable;
    }
    // The ready probe unplugs it; the write fails, the silent reopen finds
    // nothing, the repeat fails, and the dialog's Retry reopens it.
    Apply("unplug after=1; replug after=3; dialog retry");
    SetDLLBehaviour(1);
    Open();
    EXPECT_EQ(Calls("rw"), "11");
    ASSERT_EQ(Device().dialogs.size(), 1u);
    EXPECT_EQ(Device().dialogs[0].caption, "Zelqa not ready");
    EXPECT_EQ(Device().dialogs[0].answer, kRetry);
    const auto streams = Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM);
    EXPECT_BYTES(streams.back().bytes, (Bytes{0x02, 0x42}));
}

TEST_F(ScriptTest, WithoutRetryAnswersTheDialogCancelsAndTheWriteIsLost) {
    if (kThroughDriver) {
        GTEST_SKIP() << kReplugNotApplicable;
    }
    Apply("unplug after=1; replug after=3");
    SetDLLBehaviour(1);
    Open();
    EXPECT_EQ(Calls("rwow"), "1011");
    ASSERT_EQ(Device().dialogs.size(), 1u);
    EXPECT_EQ(Device().dialogs[0].answer, 2);
}

TEST_F(ScriptTest, AnyMistakeRejectsTheWholeScriptAndSaysWhere) {
    const struct {
        const char *script;
        const char *says;
    } cases[] = {
        {"a sine; b nois", "statement 2 \" b nois\": a channel needs a shape"},
        {"c sine", "unknown statement \"c\""},
        {"a sine period=0", "period must be a whole number from 1"},
        {"a sine amplitude=256", "amplitude must be a whole number from 0 to 255"},
        {"a sine colour=red", "unknown signal key \"colour=red\""},
        {"unplug 5", "unplug takes after=N"},
        {"replug after=0; unplug after=1", "after must be a whole number from 1"},
        {"replug after=4", "replug without unplug"},
        {"fail-writes", "fail-writes takes one count"},
        {"invalid-roll -1", "invalid-roll must be a whole number from 0"},
        {"fail-writes 2x", "not \"2x\""},
        {"dialog retry later", "retry or cancel, not \"later\""},
        {"capture gap=-1", "gap must be a whole number from 0"},
        {"capture sometimes", "capture takes gap=N or still"},
        // Every bad statement is named, not the first only.
        {"a nois; b sine; c sine; fail-writes x",
         "statement 1 \"a nois\": a channel needs a shape: sine, square, triangle, dc or noise; statement 3 "
         "\" c sine\": unknown statement \"c\"; statement 4 \" fail-writes x\""},
        {"frobnicate; replug after=2", "unknown statement \"frobnicate\"; replug without unplug"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.script);
        std::string error;
        EXPECT_FALSE(vi::ParseScript(c.script, &error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

void SetScriptVariable(const char *text) {
#ifdef _WIN32
    _putenv_s(vi::kScriptVariable, text);
#else
    setenv(vi::kScriptVariable, text, 1);
#endif
}

TEST_F(ScriptTest, TheVariableIsAppliedAndAMalformedOneIsReportedAndIgnored) {
    const struct {
        const char *text;
        const char *stderrHas; // empty: nothing is written
        int failWrites;
    } cases[] = {
        {"", "", 0},
        {"fail-writes 3", "", 3},
        {"fail-writes 3; frobnicate", "ZQLUSB_VIRTUAL_SCRIPT ignored: statement 2", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        SetScriptVariable(c.text);
        vi::Instrument device;
        testing::internal::CaptureStderr();
        vi::ApplyScriptFromEnvironment(device);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(device.faults.failWrites, c.failWrites);
        if (*c.stderrHas == '\0') {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_NE(said.find(c.stderrHas), std::string::npos) << said;
            EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line";
        }
    }
    SetScriptVariable("");
}

} // namespace
} // namespace testbed
