#include "scpi/replies.h"

#include <cstdio>

#include "commands.h"
#include "session.h"
#include "signal/measurements.h"
#include "zqlusb.h"

namespace zqlscope::scpi {

namespace {

// Serial EEPROM words 0-2 hold the maker's name, two characters a word,
// high byte first; word 3 the serial number.
constexpr unsigned short kNameWords = 3;
constexpr unsigned short kSerialWord = 3;

} // namespace

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10G", value); // 10 digits: beyond any 8-bit sample's precision
    return text;
}

Status LinkError(const std::string &what) {
    const std::string problem = LinkProblem(USBLinkStatus(), what);
    return problem.empty() ? Ok() : Status{code::kHardwareError, problem};
}

Status Identity(std::string &reply) {
    unsigned short words[kSerialWord + 1] = {};
    for (unsigned short i = 0; i <= kSerialWord; ++i) {
        USBReadFromEEPROM(i, &words[i]);
        if (Status s = LinkError("the serial EEPROM's word " + std::to_string(i)); Failed(s)) {
            return s;
        }
    }
    std::string name;
    for (unsigned short i = 0; i < kNameWords; ++i) {
        for (int shift : {8, 0}) {
            const char c = static_cast<char>((words[i] >> shift) & 0xFF);
            if (c > ' ' && c < 0x7F && c != ',' && c != ';') { // nothing that would split the reply
                name += c;
            }
        }
    }
    DriverVersion driver{};
    GetDriverVersion(&driver);
    reply = (name.empty() ? std::string("unnamed") : name) + ",USB oscilloscope," + Hex(words[kSerialWord], 4).substr(2) +
            ",zqlusb " + ZQLSCOPE_VERSION + " driver " + std::to_string(driver.MajorVersion) + "." +
            std::to_string(driver.MinorVersion);
    return Ok();
}

std::string WaveformReply(const Settings &settings, const Acquisition &data) {
    const std::vector<std::uint8_t> &samples = data.Of(settings.waveSource);
    std::string reply;
    if (settings.format == WaveFormat::Byte) {
        const std::string length = std::to_string(samples.size());
        reply.reserve(2 + length.size() + samples.size());
        reply = "#" + std::to_string(length.size()) + length;
        reply.append(samples.begin(), samples.end());
        return reply;
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        reply += (i ? "," : "") + Number(signal::Level(settings.units, settings.waveSource, samples[i]));
    }
    return reply;
}

std::string PreambleReply(const Settings &settings, const Acquisition &data) {
    const signal::Units &units = settings.units;
    const signal::Channel channel = settings.waveSource;
    const double xIncrement = signal::Duration(units, 1);
    const double xOrigin = data.triggerIndex ? -static_cast<double>(*data.triggerIndex) * xIncrement : 0.0;
    const int format = settings.format == WaveFormat::Byte ? 0 : 4; // 0 BYTE, 4 ASCii, as scopes number them
    return std::to_string(format) + ",0," + std::to_string(data.Of(channel).size()) + ",1," + Number(xIncrement) +
           "," + Number(xOrigin) + ",0," + Number(signal::Span(units, channel, 1)) + ",0," +
           Number(units.Scale(channel).zeroCount);
}

std::string MeasurementReply(Measure what, const signal::Units &units, signal::Channel channel,
                             std::span<const std::uint8_t> samples) {
    const signal::Measurements m = signal::Measure(samples);
    if (m.points == 0) {
        return kNotANumber;
    }
    auto optional = [](const std::optional<double> &value, double converted) {
        return value ? Number(converted) : std::string(kNotANumber);
    };
    switch (what) {
    case Measure::Vpp: return Number(signal::Span(units, channel, m.peakToPeak));
    case Measure::Vmax: return Number(signal::Level(units, channel, m.max));
    case Measure::Vmin: return Number(signal::Level(units, channel, m.min));
    case Measure::Vaverage: return Number(signal::Level(units, channel, m.mean));
    case Measure::Vrms: return Number(signal::Span(units, channel, m.Rms(units.Scale(channel).zeroCount)));
    case Measure::Period: return optional(m.period, signal::Duration(units, m.period.value_or(0)));
    case Measure::Frequency: return optional(m.frequency, signal::Rate(units, m.frequency.value_or(0)));
    case Measure::Duty: return optional(m.duty, m.duty.value_or(0));
    }
    return kNotANumber;
}

} // namespace zqlscope::scpi
