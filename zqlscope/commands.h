// The subcommands of zqlscope. Each is an option table (its CommandSpec) and
// a function that runs it on the parsed arguments, returns the exit status
// and throws UsageError or RunError for the caller to report.
#pragma once

#include <string>
#include <vector>

#include "args.h"

namespace zqlscope {

using Words = std::vector<std::string>;

struct Command {
    CommandSpec syntax;
    int (*run)(const CommandSpec &syntax, const Arguments &args);
};

// Exit statuses.
constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;        // failed while running
constexpr int kExitUsage = 2;         // a mistake in the command line
constexpr int kExitInterrupted = 130; // stopped by Ctrl-C, as shells report SIGINT

// Runs a whole command line (without the program name); returns the exit
// status. No exception leaves it.
int RunCommandLine(Words args);

// All subcommands, in the order the help lists them.
const std::vector<Command> &Commands();

// "zqlscope 1.0.0"
std::string VersionLine();

int Info(const CommandSpec &syntax, const Arguments &args);
int Capture(const CommandSpec &syntax, const Arguments &args);
int Roll(const CommandSpec &syntax, const Arguments &args);
int PreTrigger(const CommandSpec &syntax, const Arguments &args);
int Fpga(const CommandSpec &syntax, const Arguments &args);
int I2c(const CommandSpec &syntax, const Arguments &args);
int Serial(const CommandSpec &syntax, const Arguments &args);
int Write(const CommandSpec &syntax, const Arguments &args);
int Demo(const CommandSpec &syntax, const Arguments &args);
int Live(const CommandSpec &syntax, const Arguments &args);
int TraceFile(const CommandSpec &syntax, const Arguments &args); // trace show|check
CommandSpec LiveSyntax(); // live's option table, beside the command in live/
int Scpi(const CommandSpec &syntax, const Arguments &args);
CommandSpec ScpiSyntax(); // scpi's option table, beside the command in scpi/

} // namespace zqlscope
