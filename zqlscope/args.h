// Command-line arguments: options with values, flags, positional words, and
// numbers in decimal or 0x hex checked against their range before anything
// is sent to the instrument.
#pragma once

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

struct Arguments {
    std::map<std::string, std::string> options; // "--count" -> "100"
    std::set<std::string> flags;                // "--dialog", "--help"
    std::vector<std::string> words;             // positional arguments
    bool Has(const std::string &option) const { return options.count(option) != 0; }
};

// Splits args; `valued` lists the options that take a value, `flagNames` the
// options that do not. Anything else starting with "--" is a usage error.
Arguments Parse(const std::vector<std::string> &args, const std::set<std::string> &valued,
                const std::set<std::string> &flagNames);

// A number in decimal or 0x hex within [low, high]; `what` names it in the
// error message.
long long Number(const std::string &what, const std::string &text, long long low, long long high);

// The option's number, or `fallback` when the option is absent.
long long OptionNumber(const Arguments &args, const std::string &option, long long fallback, long long low,
                       long long high);

} // namespace zqlscope
