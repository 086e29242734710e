// zqlscope run in-process over the virtual instrument: its argument checks,
// its error messages and exit statuses, and the files it writes.
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "commands.h"
#include "support/fixture.h"

namespace testbed {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome RunZqlscope(const std::vector<std::string> &args) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = zqlscope::RunCommandLine(args);
    std::string out = ::testing::internal::GetCapturedStdout();
    return Outcome{status, out, ::testing::internal::GetCapturedStderr()};
}

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

TEST_F(ZqlscopeTest, AnUnreadableBitStreamFileIsAClearError) {
    Outcome o = RunZqlscope({"fpga", "load", TempPath("missing.bit").string()});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("cannot read the bit stream file"), std::string::npos) << o.err;
    EXPECT_TRUE(Device().transfers.empty());
}

TEST_F(ZqlscopeTest, TheCsvHoldsExactlyThePointsOfTheRecord) {
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

TEST_F(ZqlscopeTest, ARefusedConfirmationCodeIsReportedAndNothingIsWritten) {
    Outcome o = RunZqlscope({"i2c", "write", "0x10", "5", "--code", "0"});
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("refused the confirmation code 0x0000 for I2C EEPROM address 0x0010"), std::string::npos)
        << o.err;
    EXPECT_TRUE(Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM).empty());
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
        EXPECT_NE(text.find("<polyline"), std::string::npos);
        EXPECT_NE(text.find("sample index"), std::string::npos);
        EXPECT_TRUE(fs::exists(dir / (std::string(name) + ".csv")));
    }
    EXPECT_NE(o.out.find("driver version    1.3"), std::string::npos) << o.out;
    EXPECT_FALSE(Device().rawBytes.empty()) << "the FPGA was loaded";
    fs::remove_all(dir);
}

} // namespace
} // namespace testbed
