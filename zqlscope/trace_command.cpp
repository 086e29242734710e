// zqlscope trace show|check FILE: a session trace as text, and whether it is
// complete and readable. Works on the file alone; the instrument is not
// opened.
#include <iostream>

#include "commands.h"
#include "trace_text.h"

namespace zqlscope {

int TraceFile(const CommandSpec &, const Arguments &args) {
    const std::string verb = args.words.empty() ? "" : args.words[0];
    if (verb != "show" && verb != "check") {
        throw UsageError(verb.empty() ? "expected: trace show FILE or trace check FILE"
                                      : "expected show or check, not '" + verb + "'");
    }
    if (args.words.size() != 2) {
        throw UsageError("expected the trace file after " + verb + ": trace " + verb + " FILE");
    }
    if (verb == "check" && args.Has("--raw")) {
        throw UsageError("--raw belongs to trace show");
    }
    const std::string &path = args.words[1];
    std::vector<std::uint8_t> file;
    std::string error;
    if (!zqltrace::ReadFile(path, &file, &error)) {
        throw RunError(error);
    }
    if (verb == "show") {
        const TraceVerdict verdict = ShowTrace(file, args.Has("--raw"), std::cout);
        const bool readable =
            verdict.ending == zqltrace::Ending::kClosed || verdict.ending == zqltrace::Ending::kNotClosed;
        return readable ? kExitDone : kExitFailed;
    }
    const TraceVerdict verdict = CheckTrace(file);
    std::cout << path << ": " << verdict.sentence << '\n';
    return verdict.ending == zqltrace::Ending::kClosed ? kExitDone : kExitFailed;
}

} // namespace zqlscope
