// The signal options and outputs of capture, roll and pretrigger.
#include "signal_outputs.h"

#include <ostream>

#include "file_checks.h"
#include "signal/measurements.h"

namespace zqlscope {

namespace {

const char *const kUnitOptions[] = {"--sample-rate", "--volts-per-count", "--zero-count"};

std::vector<OptionSpec> SignalOptionTable(const std::string &measured) {
    return {
        {"--measure", ValueKind::Flag, "", "off",
         "print min, max, peak-to-peak, mean, RMS, period, frequency and duty cycle of each channel over " +
             measured},
        {"--sample-rate", ValueKind::Text, "HZ", "unknown",
         "points per second (e.g. 1e6, 250k, 20M): times in s and Hz instead of points"},
        {"--volts-per-count", ValueKind::Text, "A=V,B=V", "none",
         "volts of one count per channel: levels in V instead of counts"},
        {"--zero-count", ValueKind::Text, "A=N,B=N", "A=0,B=0", "the count that reads 0 (V), per channel"},
        {"--sr", ValueKind::Text, "FILE", "none",
         "write a sigrok session (PulseView, sigrok-cli): analog channels A and B"},
    };
}

const std::string kSignalNotes =
    "Units: the library knows neither the instrument's sample rate nor its volts per count. "
    "Without --sample-rate the time axis counts points (periods in points, frequencies per "
    "point); without --volts-per-count levels are the sample bytes, 0 to 255. "
    "--sr: the sigrok session holds float32 samples (counts, or volts when scaled) in chunks "
    "of 1,048,576 points per channel; without --sample-rate it has no samplerate, so sigrok "
    "counts samples, one per point. sigrok-cli 0.7.2's CSV output reads a session of one "
    "chunk only; PulseView and sigrok-cli --show read them all.";

} // namespace

std::vector<Command> WithSignalOptions(std::vector<Command> commands) {
    for (Command &c : commands) {
        const std::string &name = c.syntax.name;
        if (name != "capture" && name != "roll" && name != "pretrigger") {
            continue;
        }
        const std::string measured = name == "capture"      ? "the record"
                                     : name == "pretrigger" ? "the pre-trigger memory"
                                                            : "the newest 32768 points of the run";
        for (OptionSpec &option : SignalOptionTable(measured)) {
            c.syntax.options.push_back(std::move(option));
        }
        // One paragraph with the command's own: the help wraps its notes as one.
        c.syntax.notes += (c.syntax.notes.empty() ? "" : " ") + kSignalNotes;
    }
    return commands;
}

signal::Units UnitsFrom(const Arguments &args) {
    signal::Units units;
    for (const char *option : kUnitOptions) {
        if (args.Has(option)) {
            const std::string error = signal::ParseUnitOption(option, args.Text(option), units);
            if (!error.empty()) {
                throw UsageError(error);
            }
        }
    }
    if (args.Has("--sr") && units.sampleRate && !sigrok::WholeHertz(*units.sampleRate)) {
        throw UsageError("--sr needs --sample-rate in whole hertz (1 or more): a sigrok session's samplerate is "
                         "an integer, not '" +
                         args.Text("--sample-rate") + "'");
    }
    return units;
}

void CheckSignalOutputs(const Arguments &args) {
    Outputs outputs = RequestedOutputs(args);
    if (args.Has("--sr")) {
        outputs.emplace_back("--sr", args.Text("--sr"));
    }
    CheckOutputs(outputs);
}

SignalOutputs::SignalOutputs(const Arguments &args, const std::string &origin, std::size_t measurePoints)
    : units_(UnitsFrom(args)), measure_(args.Has("--measure")), measurePoints_(measurePoints) {
    if (measure_) {
        recent_.emplace(measurePoints);
    }
    if (args.Has("--sr")) {
        session_ = std::make_unique<sigrok::SessionFile>(args.Text("--sr"), units_, origin);
    }
}

SignalOutputs::~SignalOutputs() = default;

void SignalOutputs::Add(const Trace &trace) {
    if (recent_) {
        recent_->Append(trace.a, trace.b);
    }
    if (session_) {
        session_->Add(trace.a, trace.b);
    }
}

void SignalOutputs::Finish(std::ostream &report) {
    if (session_) {
        report << "sigrok session " << session_->Close() << '\n';
    }
    if (recent_) {
        const std::uint64_t n = std::min<std::uint64_t>(measurePoints_, recent_->End());
        std::vector<std::uint8_t> a(n), b(n);
        recent_->Copy(static_cast<std::int64_t>(recent_->End() - n), n, a.data(), b.data());
        signal::WriteMeasurementTable(report, signal::Measure(a), signal::Measure(b), units_);
    }
}

} // namespace zqlscope
