#include "args.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ostream>

namespace zqlscope {

namespace {

// Help lines: the option and its value in this many columns, then the
// meaning, wrapped to fit a terminal of 80 columns.
constexpr std::size_t kOptionColumn = 16;
constexpr std::size_t kHelpWidth = 79;

// `text` in lines of at most kHelpWidth, every line after the first indented.
std::string Wrap(const std::string &text, std::size_t indent, std::size_t used) {
    std::string out;
    std::size_t column = used;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        end = end == std::string::npos ? text.size() : end;
        const std::string word = text.substr(start, end - start);
        if (column > indent && column + 1 + word.size() > kHelpWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            out += ' ';
            ++column;
        }
        out += word;
        column += word.size();
        start = end + 1;
    }
    return out;
}

// --dialog belongs to the commands that open the instrument.
bool Offered(const CommandSpec &syntax, const OptionSpec &option) {
    return syntax.opensInstrument || option.name != "--dialog";
}

const OptionSpec *Find(const CommandSpec &syntax, const std::string &name) {
    for (const std::vector<OptionSpec> *table : {&syntax.options, &CommonOptions()}) {
        for (const OptionSpec &option : *table) {
            if (!Offered(syntax, option)) {
                continue;
            }
            if (option.name == name || (name == "-h" && option.name == "--help")) {
                return &option;
            }
        }
    }
    return nullptr;
}

bool LooksLikeOption(const std::string &word) {
    return word.size() > 1 && word[0] == '-';
}

std::string Unexpected(const std::string &word) {
    std::string hint;
    const std::size_t dot = word.rfind('.');
    const std::string suffix = dot == std::string::npos ? "" : word.substr(dot);
    if (suffix == ".csv" || suffix == ".svg") {
        hint = " (did you mean --" + suffix.substr(1) + " " + word + "?)";
    }
    return "unexpected argument '" + word + "'" + hint;
}

void Store(const OptionSpec &option, const std::string &value, Arguments &out) {
    if (out.Has(option.name)) {
        throw UsageError(option.name + " is given twice");
    }
    if (option.kind == ValueKind::Flag) {
        out.flags.insert(option.name);
        return;
    }
    if (value.empty()) {
        throw UsageError(option.name + " needs a value: " + option.name + " " + option.placeholder);
    }
    if (option.kind == ValueKind::Text && LooksLikeOption(value)) {
        throw UsageError(option.name + " needs a value: " + option.name + " " + option.placeholder + ", not '" + value +
                         "' (write ./" + value + " for a file of that name)");
    }
    if (option.kind == ValueKind::Number) {
        Number(option.name, value, option.low, option.high);
    }
    out.options[option.name] = value;
}

} // namespace

std::vector<std::string> CommaList(const std::string &text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

std::string Arguments::Text(const std::string &option, const std::string &fallback) const {
    auto it = options.find(option);
    return it == options.end() ? fallback : it->second;
}

const std::vector<OptionSpec> &CommonOptions() {
    static const std::vector<OptionSpec> common = {
        {"--dialog", ValueKind::Flag, "", "off",
         "switch on the library's retry dialog first: after a failed write it reconnects once silently, then asks "
         "whether to retry. On the virtual instrument the dialog can be seen by scripting failures with "
         "ZQLUSB_VIRTUAL_SCRIPT (see README)"},
        {"--help", ValueKind::Flag, "", "", "show this help (also -h)"},
        {"--version", ValueKind::Flag, "", "", "show zqlscope's version"},
    };
    return common;
}

Arguments Parse(const CommandSpec &syntax, const std::vector<std::string> &words) {
    Arguments out;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string &word = words[i];
        if (optionsEnded || !LooksLikeOption(word)) {
            if (out.words.size() == syntax.maxWords) {
                throw UsageError(Unexpected(word));
            }
            out.words.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        const OptionSpec *option = word.rfind("--", 0) == 0 || word == "-h" ? Find(syntax, name) : nullptr;
        if (option == nullptr) {
            throw UsageError("unknown option '" + name + "'");
        }
        if (equals != std::string::npos) {
            if (option->kind == ValueKind::Flag) {
                throw UsageError(option->name + " takes no value, not '" + word + "'");
            }
            Store(*option, word.substr(equals + 1), out);
        } else if (option->kind == ValueKind::Flag) {
            Store(*option, "", out);
        } else if (i + 1 == words.size()) {
            throw UsageError(option->name + " needs a value: " + option->name + " " + option->placeholder);
        } else {
            Store(*option, words[++i], out);
        }
    }
    return out;
}

long long OptionNumber(const CommandSpec &syntax, const Arguments &args, const std::string &option) {
    const OptionSpec *found = Find(syntax, option);
    if (found == nullptr || found->kind != ValueKind::Number) {
        throw std::logic_error("no number option " + option + " for " + syntax.name);
    }
    return Number(option, args.Text(option, found->fallback), found->low, found->high);
}

std::string Usage(const CommandSpec &syntax) {
    std::string usage = "usage: zqlscope " + syntax.name + " [options]";
    return syntax.positionals.empty() ? usage : usage + " " + syntax.positionals;
}

void WriteHelp(std::ostream &out, const CommandSpec &syntax) {
    out << Usage(syntax) << '\n' << syntax.summary << "\n\noptions:\n";
    for (const std::vector<OptionSpec> *table : {&syntax.options, &CommonOptions()}) {
        for (const OptionSpec &option : *table) {
            if (!Offered(syntax, option)) {
                continue;
            }
            std::string left = "  " + option.name + (option.placeholder.empty() ? "" : " " + option.placeholder);
            left += std::string(left.size() < kOptionColumn ? kOptionColumn - left.size() : 1, ' ');
            const std::string meaning =
                option.meaning + (option.fallback.empty() ? "" : " (default: " + option.fallback + ")");
            out << left << Wrap(meaning, kOptionColumn, left.size()) << '\n';
        }
    }
    out << "\nNumbers are decimal or 0x hex.\n";
    if (!syntax.notes.empty()) {
        out << '\n' << Wrap(syntax.notes, 0, 0) << '\n';
    }
}

long long Number(const std::string &what, const std::string &text, long long low, long long high) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = text.substr(hex ? 2 : 0);
    // Digits of the base and nothing else: no blank, sign or suffix, which
    // strtoll would skip or stop at.
    const bool onlyDigits = !digits.empty() && std::all_of(digits.begin(), digits.end(), [hex](char c) {
        return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : c >= '0' && c <= '9';
    });
    errno = 0;
    const long long value = onlyDigits ? std::strtoll(digits.c_str(), nullptr, hex ? 16 : 10) : 0;
    const bool wellFormed = onlyDigits && errno == 0;
    if (wellFormed && value >= low && value <= high) {
        return value;
    }
    const std::string range = low == high ? "must be " + std::to_string(low)
                                          : "must be a number from " + std::to_string(low) + " to " +
                                                std::to_string(high) + " (decimal or 0x hex)";
    throw UsageError(what + " " + range + ", not '" + text + "'");
}

std::string Count(long long n, const std::string &noun, const std::string &plural) {
    return std::to_string(n) + " " + (n == 1 ? noun : plural.empty() ? noun + "s" : plural);
}

} // namespace zqlscope
