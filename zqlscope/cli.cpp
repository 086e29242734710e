// The command line: the commands' option tables, finding the subcommand,
// help and version, and turning errors into clear sentences and exit
// statuses.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>

#include "commands.h"
#include "signal_outputs.h"
#include "zqlusb.h"

namespace zqlscope {

namespace {

const std::string kRecordPoints = std::to_string(ZQLUSB_CHANNEL_POINTS);

OptionSpec CsvOption() {
    return {"--csv", ValueKind::Text, "FILE", "none",
            "write the points as CSV (index,channel_a,channel_b, with time_s and channel_a_V,channel_b_V "
            "when the unit options are given); - for standard output"};
}

OptionSpec SvgOption() {
    return {"--svg", ValueKind::Text, "FILE", "none", "write a plot of both channels as SVG"};
}

std::vector<Command> Table() {
    return {
        {{"info", "name the library loaded; open the instrument; report ready, driver version, serial EEPROM", "", 0,
          {}, "The library's full path and its FileDescription (the instrument, the virtual instrument or the "
              "trace build) come first, before the instrument is opened."},
         Info},
        {{"capture",
          "retrieve a scope record",
          "",
          0,
          {{"--count", ValueKind::Number, "N", "1000",
            "span of record indices to cover, 1 to " + kRecordPoints +
                "; with --step S it yields N/S points, "
                "rounded up",
            1, ZQLUSB_CHANNEL_POINTS},
           {"--offset", ValueKind::Number, "O", "0",
            "record index of the first point, 0 to " + std::to_string(ZQLUSB_CHANNEL_POINTS - 1) +
                "; O + N is at most " + kRecordPoints,
            0, ZQLUSB_CHANNEL_POINTS - 1},
           {"--step", ValueKind::Number, "S", "1",
            "spacing of the points in the record, 1 to 65535: point k is stored at record index O + k*S", 1, 0xFFFF},
           CsvOption(),
           SvgOption()},
          "--step does not skip samples: the instrument's consecutive points are spaced "
          "S indices apart in the record; the CSV's index column and the plot's x axis "
          "show those record indices."},
         Capture},
        {{"roll",
          "fetch roll-mode blocks, writing them out as they arrive",
          "",
          0,
          {{"--blocks", ValueKind::Number, "N", "4", "blocks to fetch, 1 to 1000000", 1, 1000000},
           CsvOption(),
           SvgOption(),
           {"--quiet", ValueKind::Flag, "", "off", "no progress and no line per block; the summary only"},
           {"--stop-on-failure", ValueKind::Flag, "", "off",
            "stop at the first block that the link failed to read, instead of going on to N"}},
          "Each block holds up to " + std::to_string(ZQLUSB_ROLL_MAX_POINTS) +
              " points; they are written out as they arrive, so memory "
              "stays the same whatever N is. Ctrl-C stops after the current block, keeps "
              "what was fetched in the files and exits with 130. A block that the link failed to "
              "read is marked \"not read\" (\"link failed\" in the CSV) and adds no points; the "
              "run goes on (or stops with --stop-on-failure) and exits with 1."},
         Roll},
        {{"pretrigger",
          "retrieve the pre-trigger memory (" + std::to_string(ZQLUSB_PRETRIGGER_POINTS) + " points)",
          "",
          0,
          {CsvOption(), SvgOption()},
          ""},
         PreTrigger},
        {{"fpga", "load the FPGA from a bit stream file", "load FILE", 2, {}, ""}, Fpga},
        {{"i2c",
          "read or write the I2C EEPROM (65536 bytes)",
          "read ADDR [COUNT] | write ADDR VALUE...",
          SIZE_MAX,
          {{"--code", ValueKind::Number, "C", "the address's own",
            "confirmation code sent with each address, 0 to 0xFFFFFFFF", 0, 0xFFFFFFFFLL}},
          "read: COUNT bytes from ADDR (default 1); write: the VALUEs (0 to 255) from ADDR on."},
         I2c},
        {{"serial", "read a word of the serial EEPROM", "read WORD", 2, {}, "WORD is 0 to 63."}, Serial},
        {{"write",
          "write registers, then send the writes together",
          "ADDR=DATA...",
          SIZE_MAX,
          {},
          "ADDR and DATA are 0 to 255; the writes go out in one transfer after the last."},
         Write},
        {{"demo",
          "a whole typical session, with CSV files and plots",
          "",
          0,
          {{"--out", ValueKind::Text, "DIR", "demo-output", "folder for the CSV files and plots; created if missing"}},
          ""},
         Demo},
        {LiveSyntax(), Live},
        {ScpiSyntax(), Scpi},
        {{"trace",
          "show a session trace as text, or check that it is complete",
          "show FILE | check FILE",
          2,
          {{"--raw", ValueKind::Flag, "", "off", "show: every field of every record in hex as well"}},
          "show: a line per call (record number, seconds from the first record, thread, "
          "dialog depth, the call with its arguments and result), the command stream of "
          "each transfer decoded below it. check: exit 0 for a complete trace; otherwise "
          "one sentence naming the record and byte offset where it goes wrong, exit 1. "
          "Neither opens the instrument.",
          false},
         TraceFile},
    };
}

// The width of the command column in the command list.
constexpr std::size_t kCommandColumn = 12;

void Help(std::ostream &out) {
    out << "usage: zqlscope COMMAND [options]\n       zqlscope --help | --version\n\ncommands:\n";
    for (const Command &c : Commands()) {
        out << "  " << c.syntax.name << std::string(kCommandColumn - c.syntax.name.size(), ' ') << c.syntax.summary
            << '\n';
    }
    out << "\nzqlscope COMMAND --help lists the command's options and their defaults.\n"
           "Exit status: 0 done, 1 failed while running, 2 a mistake in the command line,\n"
           "130 stopped by Ctrl-C.\n";
}

bool Asks(const Words &args, const char *a, const char *b = "") {
    for (const std::string &word : args) {
        if (word == "--") {
            return false;
        }
        if (word == a || (*b != 0 && word == b)) { // an empty word is a value, never an option
            return true;
        }
    }
    return false;
}

int Run(const Command &c, const Words &args) {
    if (Asks(args, "--help", "-h")) {
        WriteHelp(std::cout, c.syntax);
        return kExitDone;
    }
    if (Asks(args, "--version")) {
        std::cout << VersionLine() << '\n';
        return kExitDone;
    }
    try {
        return c.run(c.syntax, Parse(c.syntax, args));
    } catch (const UsageError &e) {
        std::cerr << "zqlscope " << c.syntax.name << ": " << e.what() << '\n'
                  << Usage(c.syntax) << "\n(zqlscope " << c.syntax.name << " --help lists the options)\n";
        return kExitUsage;
    } catch (const RunError &e) {
        std::cerr << "zqlscope " << c.syntax.name << ": " << e.what() << '\n';
        return kExitFailed;
    }
}

int Dispatch(Words args) {
    if (args.size() > 1 && args[0] == "--dialog") { // also accepted before the command
        std::swap(args[0], args[1]);
    }
    if (args.empty()) {
        Help(std::cerr);
        return kExitUsage;
    }
    if (args.size() == 1 && args[0] == "--dialog") {
        std::cerr << "zqlscope: a command is missing: --dialog goes with a command (zqlscope --dialog roll)\n";
        Help(std::cerr);
        return kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        Help(std::cout);
        return kExitDone;
    }
    if (args[0] == "--version") {
        std::cout << VersionLine() << '\n';
        return kExitDone;
    }
    for (const Command &c : Commands()) {
        if (args[0] == c.syntax.name) {
            return Run(c, Words(args.begin() + 1, args.end()));
        }
    }
    std::cerr << "zqlscope: unknown command '" << args[0] << "'\n";
    Help(std::cerr);
    return kExitUsage;
}

} // namespace

const std::vector<Command> &Commands() {
    static const std::vector<Command> commands = WithSignalOptions(Table());
    return commands;
}

std::string VersionLine() {
    return std::string("zqlscope ") + ZQLSCOPE_VERSION;
}

namespace {

// Everything printed reached standard output: flushes it and checks for a
// write error at any point of the run (a full disk, a closed pipe, a closed
// handle). On an error says so on standard error and returns false.
bool StandardOutputWritten() {
    errno = 0;
    std::cout.flush();
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (std::cout && flushed && !std::ferror(stdout)) {
        return true;
    }
    std::cerr << "zqlscope: cannot write to standard output"
              << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << "; the output is incomplete\n";
    return false;
}

} // namespace

int RunCommandLine(Words args) {
    try {
        const int status = Dispatch(std::move(args));
        return StandardOutputWritten() || status != kExitDone ? status : kExitFailed;
    } catch (const std::bad_alloc &) {
        std::cerr << "zqlscope: out of memory\n";
    } catch (const std::exception &e) {
        std::cerr << "zqlscope: unexpected failure: " << e.what() << '\n';
    } catch (...) {
        std::cerr << "zqlscope: unexpected failure\n";
    }
    return kExitFailed;
}

} // namespace zqlscope
