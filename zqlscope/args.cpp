#include "args.h"

#include <cerrno>
#include <cstdlib>

namespace zqlscope {

Arguments Parse(const std::vector<std::string> &args, const std::set<std::string> &valued,
                const std::set<std::string> &flagNames) {
    Arguments out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            out.words.push_back(arg);
        } else if (flagNames.count(arg)) {
            out.flags.insert(arg);
        } else if (valued.count(arg)) {
            if (i + 1 >= args.size()) {
                throw UsageError(arg + " needs a value");
            }
            out.options[arg] = args[++i];
        } else {
            throw UsageError("unknown option " + arg);
        }
    }
    return out;
}

long long Number(const std::string &what, const std::string &text, long long low, long long high) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = text.c_str() + (hex ? 2 : 0);
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(digits, &end, hex ? 16 : 10);
    const bool wellFormed =
        !text.empty() && *digits != '\0' && *digits != '-' && *digits != '+' && *end == '\0' && errno == 0;
    if (!wellFormed || value < low || value > high) {
        throw UsageError(what + " must be a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         " (decimal or 0x hex), not '" + text + "'");
    }
    return value;
}

long long OptionNumber(const Arguments &args, const std::string &option, long long fallback, long long low,
                       long long high) {
    auto it = args.options.find(option);
    return it == args.options.end() ? fallback : Number(option, it->second, low, high);
}

} // namespace zqlscope
