// capture, roll and pretrigger: retrieving waveforms and writing them out.
#include <algorithm>
#include <iostream>

#include "commands.h"
#include "session.h"

namespace zqlscope {

namespace {
void Summary(const std::string &what, const Trace &trace) {
    std::cout << what << ": " << Count(static_cast<long long>(trace.index.size()), "point");
    if (!trace.a.empty()) {
        auto [aLow, aHigh] = std::minmax_element(trace.a.begin(), trace.a.end());
        auto [bLow, bHigh] = std::minmax_element(trace.b.begin(), trace.b.end());
        std::cout << ", channel A " << int(*aLow) << ".." << int(*aHigh) << ", channel B " << int(*bLow) << ".."
                  << int(*bHigh);
    }
    std::cout << '\n';
}
} // namespace

int Capture(const CommandSpec &spec, const Arguments &args) {
    RecordRequest request = RecordRequestFrom(spec, args); // checked before the instrument is touched
    OpenInstrument(args);
    Trace trace = RetrieveRecord(request);
    Summary("record (offset " + std::to_string(request.offset) + ", step " + std::to_string(request.step) + ")", trace);
    WriteRequestedFiles(args, "Scope record", trace);
    return 0;
}

int Roll(const CommandSpec &spec, const Arguments &args) {
    const long blocks = static_cast<long>(OptionNumber(spec, args, "--blocks"));
    OpenInstrument(args);
    Trace all;
    for (long i = 1; i <= blocks; ++i) {
        std::cerr << "\rfetching roll-mode block " << i << " of " << blocks << std::flush;
        RollBlock block = RetrieveRollBlock(static_cast<long>(all.index.size()));
        std::cerr << "\r";
        std::cout << "block " << i << ": " << Count(static_cast<long long>(block.trace.index.size()), "point") << ", "
                  << (block.invalid ? "marked invalid by the instrument" : "valid") << '\n';
        all.index.insert(all.index.end(), block.trace.index.begin(), block.trace.index.end());
        all.a.insert(all.a.end(), block.trace.a.begin(), block.trace.a.end());
        all.b.insert(all.b.end(), block.trace.b.begin(), block.trace.b.end());
    }
    Summary("roll mode, " + Count(blocks, "block"), all);
    WriteRequestedFiles(args, "Roll mode", all);
    return 0;
}

int PreTrigger(const CommandSpec &, const Arguments &args) {
    OpenInstrument(args);
    Trace trace = RetrievePreTrigger();
    Summary("pre-trigger memory", trace);
    WriteRequestedFiles(args, "Pre-trigger memory", trace);
    return 0;
}

} // namespace zqlscope
