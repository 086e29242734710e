// The command line: finding the subcommand, its help, and turning errors
// into clear sentences and exit statuses.
#include <cstring>
#include <iostream>

#include "args.h"
#include "commands.h"

namespace zqlscope {

const std::vector<Command> &Commands() {
    static const std::vector<Command> commands = {
        {"info", "open the instrument; report ready, driver version, serial EEPROM", "info", Info},
        {"capture", "retrieve a scope record", "capture [--count N] [--offset O] [--step S] [--csv FILE] [--svg FILE]",
         Capture},
        {"roll", "fetch roll-mode blocks", "roll [--blocks N] [--csv FILE] [--svg FILE]", Roll},
        {"pretrigger", "retrieve the pre-trigger memory", "pretrigger [--csv FILE] [--svg FILE]", PreTrigger},
        {"fpga", "load the FPGA from a bit stream file", "fpga load FILE", Fpga},
        {"i2c", "read or write the I2C EEPROM", "i2c read ADDR [COUNT] | i2c write ADDR VALUE... [--code C]", I2c},
        {"serial", "read a word of the serial EEPROM", "serial read WORD", Serial},
        {"write", "write registers, then send the writes", "write ADDR=DATA...", Write},
        {"demo", "a whole typical session, with CSV files and plots", "demo [--out DIR]", Demo},
        {"live", "a live scope screen in the browser",
         "live [--port N] [--listen ADDR] [--mode roll|capture] [--count N] [--open]", Live},
    };
    return commands;
}

namespace {

void Help(std::ostream &out) {
    out << "usage: zqlscope COMMAND [options] [--dialog]\n\ncommands:\n";
    for (const Command &c : Commands()) {
        out << "  " << c.name << std::string(12 - std::strlen(c.name), ' ') << c.summary << '\n';
    }
    out << "\nNumbers may be decimal or 0x hex. --dialog switches on the library's retry dialog.\n"
           "zqlscope COMMAND --help shows a command's usage.\n";
}

void CommandHelp(const Command &c) {
    std::cout << "usage: zqlscope " << c.usage << " [--dialog]\n" << c.summary << '\n';
}

int Run(const Command &c, const Words &args) {
    for (const std::string &a : args) {
        if (a == "--help") {
            CommandHelp(c);
            return 0;
        }
    }
    try {
        return c.run(args);
    } catch (const UsageError &e) {
        std::cerr << "zqlscope " << c.name << ": " << e.what() << "\nusage: zqlscope " << c.usage << '\n';
        return 2;
    } catch (const RunError &e) {
        std::cerr << "zqlscope " << c.name << ": " << e.what() << '\n';
        return 1;
    }
}

} // namespace

int RunCommandLine(Words args) {
    if (args.size() > 1 && args[0] == "--dialog") { // also accepted before the command
        std::swap(args[0], args[1]);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "help") {
        Help(args.empty() ? std::cerr : std::cout);
        return args.empty() ? 2 : 0;
    }
    for (const Command &c : Commands()) {
        if (args[0] == c.name) {
            return Run(c, Words(args.begin() + 1, args.end()));
        }
    }
    std::cerr << "zqlscope: unknown command '" << args[0] << "'\n";
    Help(std::cerr);
    return 2;
}

} // namespace zqlscope
