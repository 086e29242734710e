// capture, roll and pretrigger: retrieving waveforms and writing them out.
#include <algorithm>
#include <iostream>

#include "commands.h"
#include "session.h"

namespace zqlscope {

namespace {
const std::set<std::string> kFlags = {"--dialog", "--help"};

void Summary(const std::string &what, const Trace &trace) {
    std::cout << what << ": " << trace.index.size() << " points";
    if (!trace.a.empty()) {
        auto [aLow, aHigh] = std::minmax_element(trace.a.begin(), trace.a.end());
        auto [bLow, bHigh] = std::minmax_element(trace.b.begin(), trace.b.end());
        std::cout << ", channel A " << int(*aLow) << ".." << int(*aHigh) << ", channel B " << int(*bLow) << ".."
                  << int(*bHigh);
    }
    std::cout << '\n';
}
} // namespace

int Capture(const Words &words) {
    Arguments args = Parse(words, {"--count", "--offset", "--step", "--csv", "--svg"}, kFlags);
    RecordRequest request = RecordRequestFrom(args); // checked before the instrument is touched
    OpenInstrument(args);
    Trace trace = RetrieveRecord(request);
    Summary("record (offset " + std::to_string(request.offset) + ", step " + std::to_string(request.step) + ")", trace);
    WriteRequestedFiles(args, "Scope record", trace);
    return 0;
}

int Roll(const Words &words) {
    Arguments args = Parse(words, {"--blocks", "--csv", "--svg"}, kFlags);
    const long blocks = static_cast<long>(OptionNumber(args, "--blocks", 4, 1, 1000000));
    OpenInstrument(args);
    Trace all;
    for (long i = 1; i <= blocks; ++i) {
        std::cerr << "\rfetching roll-mode block " << i << " of " << blocks << std::flush;
        RollBlock block = RetrieveRollBlock(static_cast<long>(all.index.size()));
        std::cerr << "\r";
        std::cout << "block " << i << ": " << block.trace.index.size() << " points, "
                  << (block.invalid ? "marked invalid by the instrument" : "valid") << '\n';
        all.index.insert(all.index.end(), block.trace.index.begin(), block.trace.index.end());
        all.a.insert(all.a.end(), block.trace.a.begin(), block.trace.a.end());
        all.b.insert(all.b.end(), block.trace.b.begin(), block.trace.b.end());
    }
    Summary("roll mode, " + std::to_string(blocks) + " blocks", all);
    WriteRequestedFiles(args, "Roll mode", all);
    return 0;
}

int PreTrigger(const Words &words) {
    Arguments args = Parse(words, {"--csv", "--svg"}, kFlags);
    OpenInstrument(args);
    Trace trace = RetrievePreTrigger();
    Summary("pre-trigger memory", trace);
    WriteRequestedFiles(args, "Pre-trigger memory", trace);
    return 0;
}

} // namespace zqlscope
