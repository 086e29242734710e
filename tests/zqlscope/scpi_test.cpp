// zqlscope scpi's interpreter without a socket: header matching in short and
// long forms, the line parser (relative paths, parameters, malformed lines),
// numbers, the error queue, and whole lines run by the machine, on settings
// alone and on the virtual instrument (waveform blocks, register writes, a
// failed read).
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "scpi/machine.h"
#include "scpi/replies.h"
#include "session.h"
#include "support/fixture.h"

namespace testbed {
namespace {

using namespace zqlscope::scpi;

TEST(ScpiHeaderTest, ShortAndLongFormsAnyCaseWithSuffixes) {
    const struct {
        const char *pattern, *node;
        std::optional<int> suffix;
    } cases[] = {
        {"WAVeform", "WAV", 0},     {"WAVeform", "waveform", 0}, {"WAVeform", "Wave", std::nullopt},
        {"WAVeform", "WAVEF", std::nullopt}, {"CHANnel#", "CHAN2", 2}, {"CHANnel#", "channel1", 1},
        {"CHANnel#", "CHAN", 1},    {"CHANnel#", "CHAN17", 17}, {"CHANnel#", "CHANN2", std::nullopt},
        {"SCALe", "SCAL1", std::nullopt}, {"IDN", "idn", 0},     {"CHANnel#", "CHAN123456", std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(MatchNode(c.pattern, c.node), c.suffix) << c.pattern << " " << c.node;
    }
}

TEST(ScpiParserTest, CommandsPathsAndParameters) {
    const ParsedLine line = ParseLine(" :TRIG:SOUR CHAN1 ; SLOP NEG;*OPC?; :wav:data? ; REG 1 , #H2F");
    ASSERT_FALSE(line.error);
    ASSERT_EQ(line.units.size(), 5u);
    EXPECT_EQ(line.units[1].nodes, (std::vector<std::string>{"TRIG", "SLOP"})); // relative to :TRIG
    EXPECT_EQ(line.units[1].params, (std::vector<std::string>{"NEG"}));
    EXPECT_TRUE(line.units[2].common && line.units[2].query);
    EXPECT_EQ(line.units[3].nodes, (std::vector<std::string>{"wav", "data"})); // a common command keeps the path
    EXPECT_EQ(line.units[4].nodes, (std::vector<std::string>{"wav", "REG"}));
    EXPECT_EQ(line.units[4].params, (std::vector<std::string>{"1", "#H2F"}));
    EXPECT_TRUE(ParseLine("").units.empty());
    EXPECT_FALSE(ParseLine("*OPC;").error); // a ';' that ends the line
}

TEST(ScpiParserTest, MalformedLinesAndTheirCodes) {
    const struct {
        const char *line;
        int code;
    } cases[] = {
        {";*OPC", code::kSyntaxError},          {"*OPC;;*OPC", code::kSyntaxError},
        {":WAV::DATA?", code::kSyntaxError},    {":WAV:DATA-?", code::kInvalidCharacter},
        {":SYST:REG 1,", code::kSyntaxError},   {":WAV:SOUR 'CHAN1", code::kSyntaxError},
        {"*IDN\x07?", code::kInvalidCharacter}, {"*A:B", code::kUndefinedHeader},
        {"\xff", code::kInvalidCharacter},
    };
    for (const auto &c : cases) {
        const ParsedLine parsed = ParseLine(c.line);
        ASSERT_TRUE(parsed.error) << c.line;
        EXPECT_EQ(parsed.error->code, c.code) << c.line;
    }
}

TEST(ScpiParserTest, Numbers) {
    const struct {
        const char *text;
        std::optional<double> value;
    } cases[] = {
        {"1000", 1000}, {"-0.5", -0.5}, {"+1E6", 1e6}, {"2.5e-3", 2.5e-3}, {"#H1f", 31}, {"#B101", 5},
        {"#Q17", 15},   {"inf", std::nullopt}, {"nan", std::nullopt}, {"0x10", std::nullopt},
        {"1e999", std::nullopt}, {"#H-1", std::nullopt}, {"#X1", std::nullopt}, {"12abc", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ParseNumber(c.text), c.value) << c.text;
    }
}

TEST(ScpiErrorQueueTest, OrderOverflowAndQuoting) {
    ErrorQueue queue;
    for (int i = 0; i < 25; ++i) {
        queue.Push(Error{code::kUndefinedHeader, std::to_string(i)});
    }
    EXPECT_EQ(queue.Size(), ErrorQueue::kCapacity);
    EXPECT_EQ(queue.Pop().detail, "0");
    for (std::size_t i = 1; i + 1 < ErrorQueue::kCapacity; ++i) {
        EXPECT_EQ(queue.Pop().detail, std::to_string(i));
    }
    EXPECT_EQ(queue.Pop().code, code::kQueueOverflow);
    EXPECT_EQ(Format(queue.Pop()), "0,\"No error\"");
    EXPECT_EQ(Format(Error{code::kUndefinedHeader, "say \"hi\""}), "-113,\"Undefined header; say \"\"hi\"\"\"");
    EXPECT_EQ(EventBit(code::kUndefinedHeader), esr::kCommandError);
    EXPECT_EQ(EventBit(code::kDataOutOfRange), esr::kExecutionError);
    EXPECT_EQ(EventBit(code::kInputBufferOverrun), esr::kDeviceError);
}

// Lines run in turn on one machine, with the reply each gives; no instrument.
TEST(ScpiMachineTest, SettingsLinesAndReplies) {
    const struct {
        const char *line, *reply;
    } steps[] = {
        {":ACQ:POIN?;MODE?", "1000;REC\n"},
        {":acquire:points 2048;:ACQ:POIN?", "2048\n"},
        {":ACQ:POIN 100;:NOPE;:ACQ:MODE ROLL", ""}, // malformed: nothing of it happens
        {":ACQ:POIN?;MODE?", "2048;REC\n"},
        {":SYST:ERR?", "-113,\"Undefined header; :NOPE\"\n"},
        {":TRIG:LEV 300", ""},
        {":SYST:ERR?;*ESR?;*ESR?", "-222,\"Data out of range; 300 is count 300, outside 0 to 255\";48;0\n"},
        {":CHAN1:SCAL 0.01;OFFS 100;:TRIG:LEV -0.5;LEV?", "-0.5\n"}, // volts: count 50
        {":CHAN1:SCAL 1E-3;:TRIG:LEV?", "-0.05\n"},                  // held in counts
        {":TRIG:LEV 2", ""},                                         // count 2100
        {":SYST:ERR?", "-222,\"Data out of range; 2 is count 2100, outside 0 to 255\"\n"},
        {":TIM:SRAT?;:TIM:SRAT 1E6;SRAT?;:TRIG:HOLD 1E-3;HOLD?", "1;1000000;0.001\n"},
        {":CHAN2:SCAL?;OFFS?;:CHANNEL2:SCALE 0.5;SCAL?", "1;0;0.5\n"},
        {":WAV:SOUR CHAN2;FORM ASCII;SOUR?;FORM?", "CHAN2;ASC\n"},
        {":TRIG:MODE normal;SOUR channel2;SLOP NEG;MODE?;SOUR?;SLOP?", "NORM;CHAN2;NEG\n"},
        {"*ESE 32;*ESE?;*STB?", "32;0\n"},
        {":FOO", ""},
        {"*STB?", "100\n"}, // error queue (4), event summary (32), service request (64)
        {"*CLS;*STB?;*ESR?", "0;0\n"},
        {"*RST;:ACQ:POIN?;:TRIG:MODE?;:WAV:SOUR?;:TIM:SRAT?;:CHAN1:SCAL?", "1000;OFF;CHAN1;1;1\n"},
        {"*OPC;*ESR?;*OPC?;*WAI", "1;1\n"},
        {":WAV:PRE?", ""}, // no acquisition yet
        {":SYST:ERR?", "-230,\"Data corrupt or stale; no acquisition; send :SINGle or :RUN\"\n"},
        {"", ""},
    };
    Machine machine;
    for (const auto &step : steps) {
        EXPECT_EQ(machine.Execute(step.line), step.reply) << step.line;
    }
}

TEST(ScpiMachineTest, EveryTableEntryIsReachableByItsShortAndLongForm) {
    for (const Entry &entry : CommandTable()) {
        for (bool longForm : {false, true}) {
            std::string written;
            for (char c : entry.header) {
                if (c == '#') {
                    written += '2';
                } else if (longForm || !std::islower(static_cast<unsigned char>(c))) {
                    written += c;
                }
            }
            const ParsedLine parsed = ParseLine(written + (entry.query ? "?" : ""));
            ASSERT_FALSE(parsed.error) << written;
            Call call;
            ASSERT_FALSE(Failed(Find(parsed.units.at(0), call))) << written;
            EXPECT_EQ(call.entry, &entry) << written;
        }
    }
}

using ScpiInstrumentTest = DeviceTest;

TEST_F(ScpiInstrumentTest, WaveformBlockIsTheRecordZqlscopeRetrieves) {
    Machine machine;
    Open();
    const std::string reply = machine.Execute(":ACQ:POIN 300;:SING;:WAV:DATA?;:WAV:SOUR CHAN2;DATA?");
    Restart();
    Open();
    const zqlscope::Trace record = zqlscope::RetrieveRecord({300, 0, 1});
    const std::string a(record.a.begin(), record.a.end()), b(record.b.begin(), record.b.end());
    EXPECT_EQ(reply, "#3300" + a + ";#3300" + b + "\n");
    EXPECT_EQ(machine.Execute(":SYST:ERR?"), "0,\"No error\"\n");
}

TEST_F(ScpiInstrumentTest, RegisterWritesGoOutWithTheNextAcquisition) {
    Machine machine;
    Open();
    EXPECT_EQ(machine.Execute(":SYST:REG 33,67;REG #H22,#H44"), "");
    EXPECT_TRUE(Streams().empty()); // collected, not sent
    EXPECT_EQ(machine.Execute(":ACQ:POIN 10;:SING;*OPC?"), "1\n");
    ASSERT_EQ(Streams().size(), 1u);
    EXPECT_EQ(Device().registers[33], 67);
    EXPECT_EQ(Device().registers[0x22], 0x44);
    machine.Execute(":SYST:REG 5,6;:SYST:REG:FLUS");
    EXPECT_EQ(Device().registers[5], 6);
}

TEST_F(ScpiInstrumentTest, AFailedReadIsAHardwareErrorAndNoData) {
    Machine machine;
    Open();
    Device().faults.failReads = 1;
    EXPECT_EQ(machine.Execute(":SING;:WAV:DATA?"), ""); // the line stops at the failure
    const std::string error = machine.Execute(":SYST:ERR?");
    EXPECT_EQ(error.rfind("-240,\"Hardware error; the link to the instrument failed", 0), 0u) << error;
    EXPECT_EQ(machine.Execute(":STOP;:WAV:DATA?"), "");
    EXPECT_EQ(machine.Execute(":SYST:ERR?").substr(0, 5), "-230,");
}

TEST_F(ScpiInstrumentTest, TriggeredRecordsStartWhereTheSlopeCrosses) {
    Machine machine;
    Open();
    // Channel A: the instrument's sine, period 500 points, 28 to 228.
    const std::string reply =
        machine.Execute(":ACQ:POIN 200;:TRIG:MODE NORM;SOUR CHAN1;SLOP POS;LEV 150;:SING;:WAV:FORM ASC;DATA?;PRE?");
    ASSERT_FALSE(reply.empty()) << machine.Execute(":SYST:ERR?");
    std::vector<int> samples;
    std::size_t at = 0;
    for (int i = 0; i < 200; ++i) {
        samples.push_back(std::stoi(reply.substr(at)));
        at = reply.find_first_of(",;", at) + 1;
    }
    EXPECT_LT(samples[99], 150); // the trigger point in the middle of the frame
    EXPECT_GE(samples[100], 150);
    EXPECT_EQ(reply.substr(reply.find(';') + 1), "4,0,200,1,1,-100,0,1,0,0\n");
}

} // namespace
} // namespace testbed
