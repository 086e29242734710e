// The options each command's help offers: --dialog only where the command
// opens the instrument, so that no help offers an option that does nothing.
#include "commands.h"
#include "support/fixture.h"

namespace testbed {
namespace {

TEST(ZqlscopeHelp, OffersDialogOnlyWhereTheCommandOpensTheInstrument) {
    for (const zqlscope::Command &c : zqlscope::Commands()) {
        SCOPED_TRACE(c.syntax.name);
        ::testing::internal::CaptureStdout();
        zqlscope::RunCommandLine({c.syntax.name, "--help"});
        const std::string help = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(help.find("  --dialog") != std::string::npos, c.syntax.name != "trace") << help;
    }
    ::testing::internal::CaptureStderr();
    const int status = zqlscope::RunCommandLine({"trace", "show", "x.pcapng", "--dialog"});
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, zqlscope::kExitUsage);
    EXPECT_NE(err.find("unknown option '--dialog'"), std::string::npos) << err;
}

} // namespace
} // namespace testbed
