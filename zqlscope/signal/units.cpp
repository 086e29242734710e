// Parsing the unit options, converting counts and points, and formatting
// values with engineering prefixes.
#include "units.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace zqlscope::signal {

const ChannelScale &Units::Scale(Channel channel) const {
    return channel == Channel::A ? a : b;
}

namespace {

// A finite decimal number filling the whole text (from_chars: no locale, no
// leading '+' or spaces).
std::optional<double> Decimal(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// "250k", "20M", "1G" or a plain number.
std::optional<double> WithPrefix(std::string_view text) {
    double scale = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 'k': scale = 1e3; break;
        case 'M': scale = 1e6; break;
        case 'G': scale = 1e9; break;
        default: break;
        }
    }
    if (scale != 1) {
        text.remove_suffix(1);
    }
    const std::optional<double> value = Decimal(text);
    if (!value) {
        return std::nullopt;
    }
    return *value * scale;
}

std::string Quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

// "A=V,B=V": each channel at most once; `check` tests a value and returns
// what it must be ("" if fine).
template <typename Check, typename Store>
std::string ChannelList(std::string_view option, std::string_view value, const char *example, Check check,
                        Store store) {
    const std::string form = std::string(option) + " " + Quoted(value) + " is not A=VALUE,B=VALUE (e.g. " + example + ")";
    bool seen[2] = {false, false};
    std::size_t from = 0;
    while (from <= value.size()) {
        const std::size_t comma = std::min(value.find(',', from), value.size());
        const std::string_view item = value.substr(from, comma - from);
        if (item.size() < 3 || item[1] != '=') {
            return form;
        }
        const char name = item[0];
        const int which = (name == 'A' || name == 'a') ? 0 : (name == 'B' || name == 'b') ? 1 : -1;
        if (which < 0) {
            return form + ": the channels are A and B";
        }
        if (seen[which]) {
            return form + ": channel " + (which == 0 ? "A" : "B") + " is given twice";
        }
        seen[which] = true;
        const std::optional<double> number = Decimal(item.substr(2));
        const std::string problem = number ? check(*number) : "a number";
        if (!problem.empty()) {
            return form + ": " + Quoted(item.substr(2)) + " is not " + problem;
        }
        store(which == 0 ? Channel::A : Channel::B, *number);
        from = comma + 1;
    }
    return "";
}

} // namespace

std::string ParseUnitOption(std::string_view option, std::string_view value, Units &units) {
    Units parsed = units;
    std::string error;
    if (option == "--sample-rate") {
        const std::optional<double> rate = WithPrefix(value);
        if (!rate || *rate <= 0) {
            return "--sample-rate " + Quoted(value) +
                   " is not a rate in hertz above 0 (e.g. 1000000, 1e6 or 1M; k, M and G may follow the number)";
        }
        parsed.sampleRate = rate;
    } else if (option == "--volts-per-count") {
        error = ChannelList(
            option, value, "A=0.01,B=0.02", [](double v) { return v > 0 ? "" : "a number of volts above 0"; },
            [&](Channel c, double v) { (c == Channel::A ? parsed.a : parsed.b).voltsPerCount = v; });
    } else if (option == "--zero-count") {
        error = ChannelList(
            option, value, "A=128,B=127.5",
            [](double v) { return v >= 0 && v <= 255 ? "" : "a count from 0 to 255"; },
            [&](Channel c, double v) { (c == Channel::A ? parsed.a : parsed.b).zeroCount = v; });
    } else {
        return std::string(option) + " is not a unit option";
    }
    if (error.empty()) {
        units = parsed;
    }
    return error;
}

double Level(const Units &units, Channel channel, double counts) {
    const ChannelScale &scale = units.Scale(channel);
    return (counts - scale.zeroCount) * scale.voltsPerCount.value_or(1.0);
}

double Span(const Units &units, Channel channel, double counts) {
    return counts * units.Scale(channel).voltsPerCount.value_or(1.0);
}

double Duration(const Units &units, double points) {
    return units.sampleRate ? points / *units.sampleRate : points;
}

double Rate(const Units &units, double perPoint) {
    return units.sampleRate ? perPoint * *units.sampleRate : perPoint;
}

std::string LevelUnit(const Units &units, Channel channel) {
    return units.Volts(channel) ? "V" : "counts";
}

std::string TimeUnit(const Units &units) {
    return units.Seconds() ? "s" : "points";
}

std::string RateUnit(const Units &units) {
    return units.Seconds() ? "Hz" : "/point";
}

namespace {

// Significant digits of the engineering form.
constexpr int kDigits = 4;

std::string Printf(const char *format, int precision, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, precision, value);
    return text;
}

} // namespace

std::string Engineering(double value, std::string_view unit) {
    static constexpr const char *kPrefixes[] = {"n", "µ", "m", "", "k", "M", "G"};
    constexpr int kLowest = -9; // the exponent of the first prefix
    if (value == 0 || !std::isfinite(value)) {
        return Printf("%.*g", kDigits, value) + " " + std::string(unit);
    }
    int exponent = static_cast<int>(std::floor(std::log10(std::fabs(value)) / 3)) * 3;
    exponent = std::clamp(exponent, kLowest, 9);
    double mantissa = value / std::pow(10.0, exponent);
    int decimals = std::max(0, kDigits - 1 - static_cast<int>(std::floor(std::log10(std::fabs(mantissa)))));
    // Rounding may carry into the next prefix: 999.96 is 1.000 k.
    const double scale = std::pow(10.0, decimals);
    if (std::fabs(std::round(mantissa * scale) / scale) >= 1000 && exponent < 9) {
        exponent += 3;
        mantissa /= 1000;
        decimals = kDigits - 1;
    }
    return Printf("%.*f", decimals, mantissa) + " " + kPrefixes[(exponent - kLowest) / 3] + std::string(unit);
}

std::string FormatValue(double value, std::string_view unit) {
    if (unit == "V" || unit == "s" || unit == "Hz") {
        return Engineering(value, unit);
    }
    return Printf("%.*g", 6, value) + " " + std::string(unit);
}

namespace {

std::string ScaleNote(const ChannelScale &s) {
    const std::string zero = Printf("%.*g", 6, s.zeroCount);
    if (s.voltsPerCount) {
        return "volts (" + Engineering(*s.voltsPerCount, "V") + " a count, 0 V at count " + zero + ")";
    }
    const std::string counts = "counts (the sample bytes, 0 to 255; no --volts-per-count)";
    return s.zeroCount != 0 ? "counts less " + zero + ", " + counts : counts;
}

} // namespace

std::string AxesNote(const Units &units) {
    std::string note = units.Seconds() ? "time in seconds at " + Engineering(*units.sampleRate, "Hz")
                                       : "time in points (no --sample-rate)";
    const bool same = units.a.voltsPerCount == units.b.voltsPerCount && units.a.zeroCount == units.b.zeroCount;
    if (same) {
        note += "; levels in " + ScaleNote(units.a);
    } else {
        note += "; A in " + ScaleNote(units.a) + ", B in " + ScaleNote(units.b);
    }
    return note;
}

} // namespace zqlscope::signal
