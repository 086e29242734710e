// The command table: each command's parameter check (which also applies
// the setting it makes) and what it does on the instrument. Levels, times
// and rates are in the user's units where the client gave a scale or a
// sample rate (:CHANnel<n>:SCALe, :TIMebase:SRATe), else in counts and
// points.
#include <cmath>
#include <cstdio>

#include "scpi/machine.h"
#include "scpi/params.h"
#include "scpi/replies.h"
#include "zqlusb.h"

namespace zqlscope::scpi {

namespace {

using signal::Channel;

Channel SuffixChannel(const Call &call) {
    return call.suffixes.at(0) == 1 ? Channel::A : Channel::B;
}

signal::ChannelScale &ScaleOf(Settings &s, Channel channel) {
    return channel == Channel::A ? s.units.a : s.units.b;
}

Status NoParams(Settings &, const Call &call) {
    return Params(call, 0, 0);
}

// --- IEEE 488.2 common commands ---------------------------------------------

Status ResetSettings(Settings &s, const Call &call) {
    s = Settings{};
    return Params(call, 0, 0);
}
Status Reset(Machine &m, const Call &, std::string &) {
    m.Reset();
    return Ok();
}
Status Clear(Machine &m, const Call &, std::string &) {
    m.Errors().Clear();
    m.EventStatus() = 0;
    return Ok();
}
Status Identify(Machine &, const Call &, std::string &reply) {
    return Identity(reply);
}
Status OperationComplete(Machine &m, const Call &, std::string &) {
    m.EventStatus() |= esr::kOperationComplete;
    return Ok();
}
Status One(Machine &, const Call &, std::string &reply) { // every command before it has completed
    reply = "1";
    return Ok();
}
Status Nothing(Machine &, const Call &, std::string &) { // commands run one after the other: nothing to wait for
    return Ok();
}
Status EventStatusRead(Machine &m, const Call &, std::string &reply) {
    reply = std::to_string(m.EventStatus());
    m.EventStatus() = 0;
    return Ok();
}
Status ByteParam(Settings &, const Call &call) {
    double value = 0;
    Status s = Params(call, 1, 1);
    return Failed(s) ? s : NumberIn(call.params[0], 0, 255, value);
}
Status EventEnableSet(Machine &m, const Call &call, std::string &) {
    m.EventEnable() = static_cast<std::uint8_t>(std::lround(*ParseNumber(call.params[0])));
    return Ok();
}
Status EventEnableRead(Machine &m, const Call &, std::string &reply) {
    reply = std::to_string(m.EventEnable());
    return Ok();
}
Status StatusByteRead(Machine &m, const Call &, std::string &reply) {
    reply = std::to_string(m.StatusByte());
    return Ok();
}
Status NextError(Machine &m, const Call &, std::string &reply) {
    reply = Format(m.Errors().Pop());
    return Ok();
}

// --- Registers ----------------------------------------------------------------

Status RegisterParams(Settings &, const Call &call) {
    double value = 0;
    Status s = Params(call, 2, 2);
    for (std::size_t i = 0; i < 2 && !Failed(s); ++i) {
        s = NumberIn(call.params[i], 0, 255, value);
        if (!Failed(s) && value != std::floor(value)) {
            s = Status{code::kDataTypeError, call.params[i] + " is not a whole number"};
        }
    }
    return s;
}
Status RegisterWrite(Machine &, const Call &call, std::string &) {
    USBWriteAddress(static_cast<unsigned char>(*ParseNumber(call.params[0])));
    USBWriteData(static_cast<unsigned char>(*ParseNumber(call.params[1])));
    return LinkError("the register write"); // a full buffer may have gone out
}
Status RegisterFlush(Machine &, const Call &, std::string &) {
    USBFlushBuffer();
    return LinkError("sending the register writes");
}

// --- Acquisition -------------------------------------------------------------

Status ModeSet(Settings &s, const Call &call) {
    int index = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : OneOf(call.params[0], {"RECord", "ROLL"}, index);
    s.mode = Failed(st) ? s.mode : index == 0 ? AcquireMode::Record : AcquireMode::Roll;
    return st;
}
Status ModeRead(Machine &m, const Call &, std::string &reply) {
    reply = m.Current().mode == AcquireMode::Record ? "REC" : "ROLL";
    return Ok();
}
Status PointsSet(Settings &s, const Call &call) {
    double value = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : NumberIn(call.params[0], 1, ZQLUSB_CHANNEL_POINTS, value);
    s.points = Failed(st) ? s.points : std::lround(value);
    return st;
}
Status PointsRead(Machine &m, const Call &, std::string &reply) {
    reply = std::to_string(m.Current().points);
    return Ok();
}
Status Single(Machine &m, const Call &, std::string &) {
    m.SetRunning(false);
    return m.Acquire();
}
Status RunAcquisition(Machine &m, const Call &, std::string &) {
    m.SetRunning(true);
    return Ok();
}
Status Stop(Machine &m, const Call &, std::string &) {
    m.SetRunning(false);
    return Ok();
}

// --- Trigger -----------------------------------------------------------------

Status TriggerSourceSet(Settings &s, const Call &call) {
    Status st = Params(call, 1, 1);
    return Failed(st) ? st : ChannelParam(call.params[0], s.trigger.edge.source);
}
Status TriggerSourceRead(Machine &m, const Call &, std::string &reply) {
    reply = m.Current().trigger.edge.source == Channel::A ? "CHAN1" : "CHAN2";
    return Ok();
}
Status SlopeSet(Settings &s, const Call &call) {
    int index = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : OneOf(call.params[0], {"POSitive", "NEGative"}, index);
    s.trigger.edge.slope = Failed(st) ? s.trigger.edge.slope : index == 0 ? signal::Slope::Rising : signal::Slope::Falling;
    return st;
}
Status SlopeRead(Machine &m, const Call &, std::string &reply) {
    reply = m.Current().trigger.edge.slope == signal::Slope::Rising ? "POS" : "NEG";
    return Ok();
}
// The level in the source channel's units, held in counts.
Status LevelSet(Settings &s, const Call &call) {
    double value = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : NumberIn(call.params[0], -1e12, 1e12, value);
    if (Failed(st)) {
        return st;
    }
    const Channel source = s.trigger.edge.source;
    const signal::ChannelScale &scale = s.units.Scale(source);
    const double counts = (scale.voltsPerCount ? value / *scale.voltsPerCount : value) + scale.zeroCount;
    if (!(counts >= -0.5 && counts < 255.5)) {
        return Status{code::kDataOutOfRange, call.params[0] + " is count " + Number(counts) + ", outside 0 to 255"};
    }
    s.trigger.edge.level = static_cast<std::uint8_t>(std::lround(counts));
    return Ok();
}
Status LevelRead(Machine &m, const Call &, std::string &reply) {
    const auto &t = m.Current().trigger.edge;
    reply = Number(signal::Level(m.Current().units, t.source, t.level));
    return Ok();
}
Status TriggerModeSet(Settings &s, const Call &call) {
    int index = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : OneOf(call.params[0], {"AUTO", "NORMal", "OFF"}, index);
    const signal::TriggerMode modes[] = {signal::TriggerMode::Auto, signal::TriggerMode::Normal,
                                         signal::TriggerMode::Off};
    s.trigger.mode = Failed(st) ? s.trigger.mode : modes[index];
    return st;
}
Status TriggerModeRead(Machine &m, const Call &, std::string &reply) {
    const signal::TriggerMode mode = m.Current().trigger.mode;
    reply = mode == signal::TriggerMode::Auto ? "AUTO" : mode == signal::TriggerMode::Normal ? "NORM" : "OFF";
    return Ok();
}
// In seconds with a sample rate, else in points; held in points.
Status HoldoffSet(Settings &s, const Call &call) {
    constexpr double kMaxHoldoffPoints = 1e9; // as zqlscope live's --holdoff
    double value = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : NumberIn(call.params[0], 0, 1e12, value);
    const double points = s.units.sampleRate ? value * *s.units.sampleRate : value;
    if (!Failed(st) && points > kMaxHoldoffPoints) {
        st = Status{code::kDataOutOfRange, call.params[0] + " is over 1E9 points"};
    }
    s.trigger.holdoff = Failed(st) ? s.trigger.holdoff : static_cast<std::uint64_t>(std::llround(points));
    return st;
}
Status HoldoffRead(Machine &m, const Call &, std::string &reply) {
    reply = Number(signal::Duration(m.Current().units, static_cast<double>(m.Current().trigger.holdoff)));
    return Ok();
}

// --- Waveform ----------------------------------------------------------------

Status WaveSourceSet(Settings &s, const Call &call) {
    Status st = Params(call, 1, 1);
    return Failed(st) ? st : ChannelParam(call.params[0], s.waveSource);
}
Status WaveSourceRead(Machine &m, const Call &, std::string &reply) {
    reply = m.Current().waveSource == Channel::A ? "CHAN1" : "CHAN2";
    return Ok();
}
Status FormatSet(Settings &s, const Call &call) {
    int index = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : OneOf(call.params[0], {"BYTE", "ASCii"}, index);
    s.format = Failed(st) ? s.format : index == 0 ? WaveFormat::Byte : WaveFormat::Ascii;
    return st;
}
Status FormatRead(Machine &m, const Call &, std::string &reply) {
    reply = m.Current().format == WaveFormat::Byte ? "BYTE" : "ASC";
    return Ok();
}
Status WaveData(Machine &m, const Call &, std::string &reply) {
    const Acquisition *data = nullptr;
    if (Status s = m.DataForQuery(data); Failed(s)) {
        return s;
    }
    reply = WaveformReply(m.Current(), *data);
    return Ok();
}
Status Preamble(Machine &m, const Call &, std::string &reply) {
    if (!m.Data()) {
        return Status{code::kDataStale, "no acquisition; send :SINGle or :RUN"};
    }
    reply = PreambleReply(m.Current(), *m.Data());
    return Ok();
}

// --- Measurements ------------------------------------------------------------

Status MeasureParams(Settings &s, const Call &call) {
    Channel channel = s.waveSource;
    Status st = Params(call, 0, 1);
    return Failed(st) || call.params.empty() ? st : ChannelParam(call.params[0], channel);
}
template <Measure what>
Status MeasureRun(Machine &m, const Call &call, std::string &reply) {
    Channel channel = m.Current().waveSource;
    if (!call.params.empty()) {
        ChannelParam(call.params[0], channel); // checked in the first pass
    }
    const Acquisition *data = nullptr;
    if (Status s = m.DataForQuery(data); Failed(s)) {
        return s;
    }
    reply = MeasurementReply(what, m.Current().units, channel, data->Of(channel));
    return Ok();
}

// --- Channels and time base: the user's units ---------------------------------

Status ScaleSet(Settings &s, const Call &call) {
    double value = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : NumberIn(call.params[0], 1e-12, 1e12, value);
    if (!Failed(st)) {
        ScaleOf(s, SuffixChannel(call)).voltsPerCount = value;
    }
    return st;
}
Status ScaleRead(Machine &m, const Call &call, std::string &reply) {
    reply = Number(signal::Span(m.Current().units, SuffixChannel(call), 1));
    return Ok();
}
Status OffsetSet(Settings &s, const Call &call) {
    double value = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : NumberIn(call.params[0], -1e6, 1e6, value);
    if (!Failed(st)) {
        ScaleOf(s, SuffixChannel(call)).zeroCount = value;
    }
    return st;
}
Status OffsetRead(Machine &m, const Call &call, std::string &reply) {
    reply = Number(m.Current().units.Scale(SuffixChannel(call)).zeroCount);
    return Ok();
}
Status RateSet(Settings &s, const Call &call) {
    double value = 0;
    Status st = Params(call, 1, 1);
    st = Failed(st) ? st : NumberIn(call.params[0], 1e-6, 1e15, value);
    s.units.sampleRate = Failed(st) ? s.units.sampleRate : value;
    return st;
}
Status RateRead(Machine &m, const Call &, std::string &reply) {
    reply = Number(m.Current().units.sampleRate.value_or(1));
    return Ok();
}

} // namespace

const std::vector<Entry> &CommandTable() {
    static const std::vector<Entry> table = {
        {"*IDN", true, "", NoParams, Identify},
        {"*RST", false, "", ResetSettings, Reset},
        {"*CLS", false, "", NoParams, Clear},
        {"*OPC", false, "", NoParams, OperationComplete},
        {"*OPC", true, "", NoParams, One},
        {"*WAI", false, "", NoParams, Nothing},
        {"*ESR", true, "", NoParams, EventStatusRead},
        {"*ESE", false, "<0-255>", ByteParam, EventEnableSet},
        {"*ESE", true, "", NoParams, EventEnableRead},
        {"*STB", true, "", NoParams, StatusByteRead},
        {"SYSTem:ERRor", true, "", NoParams, NextError},
        {"SYSTem:ERRor:NEXT", true, "", NoParams, NextError},
        {"SYSTem:REGister", false, "<addr 0-255>,<data 0-255>", RegisterParams, RegisterWrite},
        {"SYSTem:REGister:FLUSh", false, "", NoParams, RegisterFlush},
        {"ACQuire:MODE", false, "RECord|ROLL", ModeSet, nullptr},
        {"ACQuire:MODE", true, "", NoParams, ModeRead},
        {"ACQuire:POINts", false, "<1-32768>", PointsSet, nullptr},
        {"ACQuire:POINts", true, "", NoParams, PointsRead},
        {"SINGle", false, "", NoParams, Single},
        {"RUN", false, "", NoParams, RunAcquisition},
        {"STOP", false, "", NoParams, Stop},
        {"TRIGger:SOURce", false, "CHANnel1|CHANnel2", TriggerSourceSet, nullptr},
        {"TRIGger:SOURce", true, "", NoParams, TriggerSourceRead},
        {"TRIGger:SLOPe", false, "POSitive|NEGative", SlopeSet, nullptr},
        {"TRIGger:SLOPe", true, "", NoParams, SlopeRead},
        {"TRIGger:LEVel", false, "<level>", LevelSet, nullptr},
        {"TRIGger:LEVel", true, "", NoParams, LevelRead},
        {"TRIGger:MODE", false, "AUTO|NORMal|OFF", TriggerModeSet, nullptr},
        {"TRIGger:MODE", true, "", NoParams, TriggerModeRead},
        {"TRIGger:HOLDoff", false, "<time>", HoldoffSet, nullptr},
        {"TRIGger:HOLDoff", true, "", NoParams, HoldoffRead},
        {"WAVeform:SOURce", false, "CHANnel1|CHANnel2", WaveSourceSet, nullptr},
        {"WAVeform:SOURce", true, "", NoParams, WaveSourceRead},
        {"WAVeform:FORMat", false, "BYTE|ASCii", FormatSet, nullptr},
        {"WAVeform:FORMat", true, "", NoParams, FormatRead},
        {"WAVeform:DATA", true, "", NoParams, WaveData},
        {"WAVeform:PREamble", true, "", NoParams, Preamble},
        {"MEASure:VPP", true, "[CHANnel<n>]", MeasureParams, MeasureRun<Measure::Vpp>},
        {"MEASure:VMAX", true, "[CHANnel<n>]", MeasureParams, MeasureRun<Measure::Vmax>},
        {"MEASure:VMIN", true, "[CHANnel<n>]", MeasureParams, MeasureRun<Measure::Vmin>},
        {"MEASure:VAVerage", true, "[CHANnel<n>]", MeasureParams, MeasureRun<Measure::Vaverage>},
        {"MEASure:VRMS", true, "[CHANnel<n>]", MeasureParams, MeasureRun<Measure::Vrms>},
        {"MEASure:PERiod", true, "[CHANnel<n>]", MeasureParams, MeasureRun<Measure::Period>},
        {"MEASure:FREQuency", true, "[CHANnel<n>]", MeasureParams, MeasureRun<Measure::Frequency>},
        {"MEASure:DUTYcycle", true, "[CHANnel<n>]", MeasureParams, MeasureRun<Measure::Duty>},
        {"CHANnel#:SCALe", false, "<volts per count>", ScaleSet, nullptr},
        {"CHANnel#:SCALe", true, "", NoParams, ScaleRead},
        {"CHANnel#:OFFSet", false, "<zero count>", OffsetSet, nullptr},
        {"CHANnel#:OFFSet", true, "", NoParams, OffsetRead},
        {"TIMebase:SRATe", false, "<points per second>", RateSet, nullptr},
        {"TIMebase:SRATe", true, "", NoParams, RateRead},
    };
    return table;
}

} // namespace zqlscope::scpi
