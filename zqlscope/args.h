// Command-line arguments. Each command describes its options in one table
// (name, kind of value, default, meaning); the same table parses the command
// line and writes the command's help, so the two cannot disagree. Numbers
// are decimal or 0x hex and are checked against their range while parsing,
// before anything is sent to the instrument.
#pragma once

#include <iosfwd>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace zqlscope {

// A mistake in the command line: printed with the command's usage, exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure while running: printed as it stands, exit 1.
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class ValueKind {
    Flag,   // no value: present or not
    Number, // decimal or 0x hex within [low, high]
    Text,   // any non-empty text, a file name for instance
};

struct OptionSpec {
    std::string name;        // "--count"
    ValueKind kind;          // what follows it
    std::string placeholder; // "N" in "--count N"; empty for a flag
    std::string fallback;    // the default as help shows it; empty: none
    std::string meaning;     // one line or more for the help
    long long low = 0;       // the range of a Number
    long long high = 0;
};

struct CommandSpec {
    std::string name;         // "capture"
    std::string summary;      // one line for the command list
    std::string positionals;  // "load FILE", as the usage shows them; empty: none
    std::size_t maxWords = 0; // positional words accepted at most
    std::vector<OptionSpec> options;
    std::string notes;           // further paragraphs of the help; may be empty
    bool opensInstrument = true; // false: --dialog is not offered, as it would do nothing
};

// The items of a comma-separated value ("a,b" is two; "" is one, empty).
std::vector<std::string> CommaList(const std::string &text);

struct Arguments {
    std::map<std::string, std::string> options; // "--count" -> "100", as given
    std::set<std::string> flags;                // "--dialog"
    std::vector<std::string> words;             // positional arguments
    bool Has(const std::string &option) const { return options.count(option) != 0 || flags.count(option) != 0; }
    // The option's text, or `fallback` when it was not given.
    std::string Text(const std::string &option, const std::string &fallback = "") const;
};

// Options every command takes, after its own: -h/--help, --version, and
// --dialog where the command opens the instrument.
const std::vector<OptionSpec> &CommonOptions();

// Splits the words after the command's name by the command's table.
// "--opt value" and "--opt=value" both work; "--" ends the options. An
// unknown option, a missing or malformed value, an option given twice or a
// positional word beyond maxWords is a UsageError naming the word.
Arguments Parse(const CommandSpec &syntax, const std::vector<std::string> &words);

// The number given for a Number option of `syntax`, or its default; the range
// was checked by Parse.
long long OptionNumber(const CommandSpec &syntax, const Arguments &args, const std::string &option);

// "usage: zqlscope NAME [options] POSITIONALS"
std::string Usage(const CommandSpec &syntax);

// The usage, the summary, every option with its default and meaning, notes.
void WriteHelp(std::ostream &out, const CommandSpec &syntax);

// A number in decimal or 0x hex within [low, high]; `what` names it in the
// error message.
long long Number(const std::string &what, const std::string &text, long long low, long long high);

// "1 point", "2 points"; `plural` when the plural is not noun + "s".
std::string Count(long long n, const std::string &noun, const std::string &plural = "");

} // namespace zqlscope
