// capture, roll and pretrigger: retrieving waveforms and writing them out.
// Output paths are checked before the instrument is opened; points go to
// the files as they arrive.
#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>

#include "commands.h"
#include "console.h"
#include "file_checks.h"
#include "points_csv.h"
#include "session.h"
#include "signal_outputs.h"

namespace zqlscope {

namespace {

// The points of one command on their way out: the CSV and the plot that
// were asked for, and each channel's range for the summary.
class Sink {
  public:
    // `blocks`: roll's CSV, with each point's block and the block's state.
    Sink(const Arguments &args, const std::string &origin, std::size_t measurePoints, bool blocks = false)
        : svgPath_(args.Text("--svg")), signal_(args, origin, measurePoints) {
        if (args.Has("--csv")) {
            csv_.emplace(args.Text("--csv"), UnitsFrom(args), blocks);
        }
    }

    // `block` and `state` go to roll's CSV columns.
    void Add(const Trace &trace, long block = 0, const std::string &state = "") {
        signal_.Add(trace);
        if (csv_) {
            csv_->Add(trace, block, state);
        }
        for (std::size_t i = 0; i < trace.index.size(); ++i) {
            plot_.Add(trace.index[i], trace.a[i], trace.b[i]);
            lowA_ = std::min(lowA_, trace.a[i]);
            highA_ = std::max(highA_, trace.a[i]);
            lowB_ = std::min(lowB_, trace.b[i]);
            highB_ = std::max(highB_, trace.b[i]);
        }
    }

    // A roll block that brought no points, in roll's CSV.
    void AddEmptyBlock(long block, const std::string &state) {
        if (csv_) {
            csv_->AddEmptyBlock(block, state);
        }
    }

    // Closes the CSV and writes the plot.
    void Finish(const std::string &title, const std::string &xLabel) {
        if (csv_) {
            csv_->Close();
        }
        if (!svgPath_.empty()) {
            plot_.Write(svgPath_, title, xLabel);
        }
    }

    // The sigrok session and the measurements, after the summary.
    SignalOutputs &Signal() { return signal_; }

    // "1000 points, channel A 28..228, channel B 68..188"
    std::string Summary() const {
        std::string text = Count(plot_.Points(), "point");
        if (plot_.Points() > 0) {
            text += ", channel A " + std::to_string(lowA_) + ".." + std::to_string(highA_) + ", channel B " +
                    std::to_string(lowB_) + ".." + std::to_string(highB_);
        }
        return text;
    }

  private:
    std::optional<PointsCsv> csv_;
    std::string svgPath_;
    Plot plot_; // bounded in size, so kept even when no plot is asked for
    SignalOutputs signal_;
    std::uint8_t lowA_ = 255, highA_ = 0, lowB_ = 255, highB_ = 0;
};

// Messages go to standard error while the CSV goes to standard output.
std::ostream &Report(const Arguments &args) {
    return args.Text("--csv") == "-" ? std::cerr : std::cout;
}

// --csv, --svg and --sr, and the unit options, before the instrument is opened.
void CheckRequestedOutputs(const Arguments &args) {
    UnitsFrom(args);
    CheckSignalOutputs(args);
}

} // namespace

int Capture(const CommandSpec &syntax, const Arguments &args) {
    const RecordRequest request = RecordRequestFrom(syntax, args);
    CheckRequestedOutputs(args);
    OpenInstrument(args);
    const Trace record = RetrieveRecord(request);
    CheckLink("the scope record"); // before any output is written
    Sink sink(args, "a scope record", ZQLUSB_CHANNEL_POINTS);
    sink.Add(record);
    sink.Finish("Scope record", request.step == 1
                                    ? "point number"
                                    : "record index (points spaced " + std::to_string(request.step) + " apart)");
    Report(args) << "record (offset " << request.offset << ", step " << request.step << "): " << sink.Summary() << '\n';
    sink.Signal().Finish(Report(args));
    return kExitDone;
}

namespace {

// What roll's CSV says of a block: its state as the instrument and the link left it.
std::string BlockState(const RollBlock &block) {
    if (block.linkStatus != 0) {
        return "link failed";
    }
    if (block.trace.index.empty()) {
        return "no points";
    }
    return block.invalid ? "invalid" : "valid";
}

// The line roll prints for a block.
std::string BlockLine(long number, const RollBlock &block) {
    std::string line = "block " + std::to_string(number) + ": ";
    if (block.linkStatus != 0) {
        return line + "not read, the link to the instrument failed (USBLinkStatus " +
               std::to_string(block.linkStatus) + ")";
    }
    line += Count(static_cast<long long>(block.trace.index.size()), "point") + ", ";
    return line + (block.invalid ? "marked invalid by the instrument" : "valid");
}

} // namespace

int Roll(const CommandSpec &syntax, const Arguments &args) {
    const long blocks = static_cast<long>(OptionNumber(syntax, args, "--blocks"));
    const bool quiet = args.Has("--quiet");
    const bool stopOnFailure = args.Has("--stop-on-failure");
    CheckRequestedOutputs(args);
    OpenInstrument(args);
    std::ostream &report = Report(args);
    Sink sink(args, "roll-mode blocks", kRollMeasurePoints, true);
    InterruptGuard guard;
    Progress progress(!quiet);
    long done = 0, failed = 0;
    long long points = 0;
    std::string firstProblem;
    while (done < blocks && !Interrupted()) {
        progress.Show("fetching roll-mode block " + std::to_string(done + 1) + " of " + std::to_string(blocks));
        const RollBlock block = RetrieveRollBlock(points);
        ++done;
        if (block.trace.index.empty()) {
            sink.AddEmptyBlock(done, BlockState(block));
        } else {
            sink.Add(block.trace, done, BlockState(block));
        }
        points += static_cast<long long>(block.trace.index.size());
        if (!quiet) {
            progress.Clear();
            report << BlockLine(done, block) << '\n';
        }
        if (block.linkStatus != 0) {
            ++failed;
            if (firstProblem.empty()) {
                firstProblem = LinkProblem(block.linkStatus, "block " + std::to_string(done));
            }
            if (stopOnFailure) {
                break;
            }
        }
    }
    progress.Clear();
    sink.Finish("Roll mode", "point number");
    report << "roll mode, " << Count(done, "block") << ": " << sink.Summary() << '\n';
    sink.Signal().Finish(report);
    if (failed > 0) {
        std::cerr << "zqlscope roll: " << Count(failed, "block") << " of " << done << " not read"
                  << (done < blocks ? ", stopped by --stop-on-failure" : "") << "; " << firstProblem << '\n';
        return kExitFailed;
    }
    if (done < blocks) {
        std::cerr << "zqlscope roll: interrupted after " << Count(done, "block") << " of " << blocks;
        if (!RequestedOutputs(args).empty()) {
            std::cerr << "; " << Count(done, "block") << " (" << Count(points, "point") << ") saved";
        }
        std::cerr << '\n';
        return kExitInterrupted;
    }
    return kExitDone;
}

int PreTrigger(const CommandSpec &, const Arguments &args) {
    CheckRequestedOutputs(args);
    OpenInstrument(args);
    const Trace memory = RetrievePreTrigger();
    CheckLink("the pre-trigger memory"); // before any output is written
    Sink sink(args, "the pre-trigger memory", ZQLUSB_PRETRIGGER_POINTS);
    sink.Add(memory);
    sink.Finish("Pre-trigger memory", "point number");
    Report(args) << "pre-trigger memory: " << sink.Summary() << '\n';
    sink.Signal().Finish(Report(args));
    return kExitDone;
}

} // namespace zqlscope
