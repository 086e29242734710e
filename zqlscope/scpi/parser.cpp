#include "scpi/parser.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace zqlscope::scpi {

namespace {

// A suffix larger than this is no channel or register of any instrument.
constexpr int kMaxSuffix = 99999;

bool Blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && Blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && Blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// Splits at `separator` outside quoted strings; nothing when a quote is open.
std::optional<std::vector<std::string_view>> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote; // a doubled quote closes and reopens: the same here
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == separator) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (quote != 0) {
        return std::nullopt;
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::optional<Error> CheckCharacters(std::string_view line) {
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 && c != '\t' && c != '\r') {
            return Error{code::kInvalidCharacter, "control character " + std::to_string(u)};
        }
        if (u >= 0x7F) {
            return Error{code::kInvalidCharacter, "byte " + std::to_string(u) + " outside ASCII"};
        }
    }
    return std::nullopt;
}

// The header's nodes; the error when one is empty or holds other than
// letters, digits and '_'.
std::optional<Error> SplitNodes(std::string_view path, std::vector<std::string> &nodes) {
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t colon = std::min(path.find(':', start), path.size());
        const std::string_view node = path.substr(start, colon - start);
        if (node.empty()) {
            return Error{code::kSyntaxError, "empty header node"};
        }
        for (char c : node) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
                return Error{code::kInvalidCharacter, "'" + std::string(1, c) + "' in a header"};
            }
        }
        nodes.emplace_back(node);
        start = colon + 1;
    }
    return std::nullopt;
}

// One command of the line; `path` is the current path for relative headers.
std::optional<Error> ParseUnit(std::string_view text, std::vector<std::string> &path, ProgramUnit &unit) {
    std::size_t end = 0;
    while (end < text.size() && !Blank(text[end])) {
        ++end;
    }
    std::string_view header = text.substr(0, end);
    const std::string_view rest = Trim(text.substr(end));
    if (!header.empty() && header.back() == '?') {
        unit.query = true;
        header.remove_suffix(1);
    }
    if (!header.empty() && header.front() == '*') {
        unit.common = true;
        header.remove_prefix(1);
        if (auto error = SplitNodes(header, unit.nodes)) {
            return error;
        }
        if (unit.nodes.size() != 1) {
            return Error{code::kUndefinedHeader, std::string(text.substr(0, end))};
        }
    } else {
        const bool absolute = !header.empty() && header.front() == ':';
        if (absolute) {
            header.remove_prefix(1);
        }
        if (auto error = SplitNodes(header, unit.nodes)) {
            return error;
        }
        if (!absolute && !path.empty()) {
            unit.nodes.insert(unit.nodes.begin(), path.begin(), path.end());
        }
        path.assign(unit.nodes.begin(), unit.nodes.end() - 1);
    }
    if (rest.empty()) {
        return std::nullopt;
    }
    const auto params = Split(rest, ',');
    if (!params) {
        return Error{code::kSyntaxError, "a quoted string is not closed"};
    }
    for (std::string_view param : *params) {
        param = Trim(param);
        if (param.empty()) {
            return Error{code::kSyntaxError, "an empty parameter"};
        }
        unit.params.emplace_back(param);
    }
    return std::nullopt;
}

} // namespace

ParsedLine ParseLine(std::string_view line) {
    ParsedLine parsed;
    if (auto error = CheckCharacters(line)) {
        parsed.error = std::move(error);
        return parsed;
    }
    if (Trim(line).empty()) {
        return parsed;
    }
    const auto units = Split(line, ';');
    if (!units) {
        parsed.error = Error{code::kSyntaxError, "a quoted string is not closed"};
        return parsed;
    }
    std::vector<std::string> path;
    for (std::size_t i = 0; i < units->size(); ++i) {
        const std::string_view text = Trim((*units)[i]);
        if (text.empty()) {
            if (i + 1 == units->size() && i > 0) { // a ';' that ends the line
                break;
            }
            parsed.error = Error{code::kSyntaxError, "an empty command between ';'"};
            return parsed;
        }
        ProgramUnit unit;
        if (auto error = ParseUnit(text, path, unit)) {
            parsed.error = std::move(error);
            return parsed;
        }
        parsed.units.push_back(std::move(unit));
    }
    return parsed;
}

std::optional<int> MatchNode(std::string_view pattern, std::string_view node) {
    const bool numbered = !pattern.empty() && pattern.back() == '#';
    if (numbered) {
        pattern.remove_suffix(1);
    }
    int suffix = numbered ? 1 : 0;
    if (numbered) {
        std::size_t digits = 0;
        while (digits < node.size() && std::isdigit(static_cast<unsigned char>(node[node.size() - 1 - digits]))) {
            ++digits;
        }
        if (digits > 0) {
            const std::string_view number = node.substr(node.size() - digits);
            if (digits > 5 || std::stoi(std::string(number)) > kMaxSuffix) {
                return std::nullopt;
            }
            suffix = std::stoi(std::string(number));
            node.remove_suffix(digits);
        }
    }
    std::size_t shortLength = 0;
    while (shortLength < pattern.size() && !std::islower(static_cast<unsigned char>(pattern[shortLength]))) {
        ++shortLength;
    }
    auto same = [&](std::string_view form) {
        if (form.size() != node.size()) {
            return false;
        }
        for (std::size_t i = 0; i < form.size(); ++i) {
            if (Upper(form[i]) != Upper(node[i])) {
                return false;
            }
        }
        return true;
    };
    if (same(pattern.substr(0, shortLength)) || same(pattern)) {
        return suffix;
    }
    return std::nullopt;
}

std::optional<double> ParseNumber(std::string_view text) {
    if (text.size() > 2 && text[0] == '#') {
        const char base = Upper(text[1]);
        const int radix = base == 'H' ? 16 : base == 'Q' ? 8 : base == 'B' ? 2 : 0;
        const std::string digits(text.substr(2));
        if (radix == 0 || digits.size() > 16) {
            return std::nullopt;
        }
        char *end = nullptr;
        const unsigned long long value = std::strtoull(digits.c_str(), &end, radix);
        if (*end != 0 || digits[0] == '-' || digits[0] == '+' || Blank(digits[0])) {
            return std::nullopt;
        }
        return static_cast<double>(value);
    }
    const std::string copy(text);
    if (copy.empty() || !(std::isdigit(static_cast<unsigned char>(copy[0])) || copy[0] == '+' || copy[0] == '-' ||
                          copy[0] == '.')) {
        return std::nullopt; // strtod would also take "inf" and "nan", and hex
    }
    for (char c : copy) {
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.' && c != 'e' && c != 'E') {
            return std::nullopt;
        }
    }
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (*end != 0 || errno == ERANGE || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace zqlscope::scpi
