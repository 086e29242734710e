// zqlscope's commands that talk to the instrument directly: the I2C EEPROM
// commands and their confirmation code, register writes, and the demo's
// whole session with its plots.
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

} // namespace
} // namespace testbed
