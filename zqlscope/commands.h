// The subcommands of zqlscope. Each takes its own arguments (after the
// subcommand's name), returns the exit status and throws UsageError or
// RunError for the caller to report.
#pragma once

#include <string>
#include <vector>

namespace zqlscope {

using Words = std::vector<std::string>;

struct Command {
    const char *name;
    const char *summary;
    const char *usage;
    int (*run)(const Words &args);
};

// Runs a whole command line (without the program name); returns the exit
// status: 0 done, 1 failed while running, 2 a mistake in the command line.
int RunCommandLine(Words args);

// All subcommands, in the order the help lists them.
const std::vector<Command> &Commands();

int Info(const Words &args);
int Capture(const Words &args);
int Roll(const Words &args);
int PreTrigger(const Words &args);
int Fpga(const Words &args);
int I2c(const Words &args);
int Serial(const Words &args);
int Write(const Words &args);
int Demo(const Words &args);
int Live(const Words &args);

} // namespace zqlscope
