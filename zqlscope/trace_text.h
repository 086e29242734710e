// A session trace as text (`zqlscope trace show`) and its verdict
// (`zqlscope trace check`), over the trace reader.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>

#include "trace_reader/trace_reader.h"

namespace zqlscope {

struct TraceVerdict {
    zqltrace::Ending ending = zqltrace::Ending::kReading;
    std::string sentence; // the reader's: where and why the readable part ends
    std::uint64_t records = 0;
};

// Writes a line per record (number, time since the first, thread, depth,
// the call with its arguments and result) and, below it, the command
// stream it carried, decoded; `raw` adds every field in hex.
TraceVerdict ShowTrace(std::span<const std::uint8_t> file, bool raw, std::ostream &out);

// Reads the whole trace without showing it.
TraceVerdict CheckTrace(std::span<const std::uint8_t> file);

} // namespace zqlscope
