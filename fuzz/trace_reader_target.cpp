// The trace reader's fuzz target: any bytes as a trace file, read to its
// end and shown as `zqlscope trace show --raw` shows it. Every record the
// reader returns must hold together (offsets rising inside the file, fields
// filling the record exactly), and every file must end in a verdict with a
// sentence; the sanitizers catch any read outside the input.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "trace_reader/trace_reader.h"
#include "trace_text.h"

namespace {

void Require(bool condition, const char *what) {
    if (!condition) {
        std::fprintf(stderr, "FINDING: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const zqltrace::ByteSpan file(data, size);
    zqltrace::Reader reader(file);
    std::size_t lastOffset = 0;
    bool first = true;
    for (zqltrace::Record r; reader.Next(&r); first = false) {
        Require(first || r.offset > lastOffset, "record offsets do not rise");
        Require(r.offset < size, "record outside the file");
        Require(r.fields.data() >= data && r.fields.data() + r.fields.size() <= data + size,
                "fields outside the file");
        lastOffset = r.offset;
        std::size_t total = 0;
        zqltrace::FieldWalk walk(r.fields);
        for (zqltrace::Field f; walk.Next(&f);) {
            total += zqltrace::kFieldHeader + f.bytes.size();
        }
        Require(total == r.fields.size(), "fields do not fill the record");
    }
    Require(reader.ending() != zqltrace::Ending::kReading, "no verdict");
    Require(!reader.problem().empty(), "a verdict without a sentence");
    std::ostringstream shown;
    const zqlscope::TraceVerdict verdict = zqlscope::ShowTrace(file, true, shown);
    Require(verdict.ending == reader.ending() && verdict.records == reader.recordsRead(),
            "show and the reader disagree");
    return 0;
}
