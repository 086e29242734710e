// Session traces as text: the line of each record and the details below it.
#include "trace_text.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <ostream>
#include <vector>

#include "link/control_requests.h"
#include "stream_text.h"

namespace zqlscope {

namespace {

using zqltrace::Record;

// Bytes of a field per line of the --raw hex dump.
constexpr std::size_t kHexPerLine = 16;
// Bytes of caller buffers shown beside their offset before "...".
constexpr std::size_t kShownBytes = 8;
constexpr const char *kIndent = "        ";
// USBRetrieveScopeData reads its request from the record's first 6 bytes.
constexpr unsigned kScopeDataOrdinal = 16;
constexpr std::size_t kScopeHeader = 6;

// The exports' argument names and which of them are pointers; whether the
// export returns a value.
struct ExportSignature {
    std::vector<const char *> arguments;
    unsigned pointers; // bit i: argument i is a pointer
    bool result;
};

const ExportSignature &Signature(unsigned ordinal) {
    static const ExportSignature kSignatures[19] = {
        {{}, 0, false},
        {{"behaviour"}, 0, false},              // SetDLLBehaviour
        {{}, 0, true},                          // DeviceReady
        {{}, 0, true},                          // USBInitDevice
        {{"version"}, 1, false},                // GetDriverVersion
        {{}, 0, false},                         // USBFlushBuffer
        {{}, 0, false},                         // USBSetEPB
        {{"address"}, 0, true},                 // USBWriteAddress
        {{"data"}, 0, true},                    // USBWriteData
        {{}, 0, true},                          // USBReadData
        {{"address", "code"}, 0, true},         // USBReadI2CEEPROM
        {{"address", "data", "code"}, 0, true}, // USBWriteI2CEEPROM
        {{"Data", "Length"}, 1, true},          // USBWriteBuffer
        {{"Data", "Length"}, 1, true},          // USBLoadFPGA
        {{"address", "ReturnValue"}, 2, true},  // USBReadFromEEPROM
        {{"Data", "Length"}, 1, true},          // USBReadDataBlock
        {{"OutBuffer"}, 1, true},               // USBRetrieveScopeData
        {{"OutBuffer"}, 1, true},               // USBRetrieveRollModeData
        {{"OutBuffer"}, 1, true},               // USBRetrievePreTriggerData
    };
    return kSignatures[ordinal <= 18 ? ordinal : 0];
}

std::string Quoted(zqltrace::ByteSpan text) {
    std::string out = "\"";
    for (std::uint8_t c : text) {
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            out += "\\x" + HexValue(c, 2).substr(2);
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string ShortBytes(zqltrace::ByteSpan bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < kShownBytes; ++i) {
        text += (i ? " " : "") + HexValue(bytes[i], 2).substr(2);
    }
    return bytes.size() > kShownBytes ? text + " ..." : text;
}

std::string Signed(std::uint64_t value) {
    return std::to_string(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

std::string ExportLine(const Record &r) {
    const ExportSignature &sig = Signature(r.call);
    const std::vector<std::uint64_t> args = zqltrace::ArgumentValues(r);
    std::string line = std::string(zqltrace::ExportName(r.call)) + "(";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const char *name = i < sig.arguments.size() ? sig.arguments[i] : "?";
        const bool pointer = (sig.pointers >> i & 1u) != 0;
        line += (i ? ", " : "") + std::string(name) + "=" +
                (pointer       ? HexValue(args[i], 8)
                 : args[i] > 9 ? Signed(args[i]) + " (" + HexValue(args[i], 2) + ")"
                               : Signed(args[i]));
    }
    return line + ")" + (sig.result ? " = " + Signed(r.result) : "");
}

const char *ControlName(std::uint64_t code) {
    switch (code) {
    case zqlusb::IOCTL_SCOPE_WRITE_STREAM:
        return "IOCTL_SCOPE_WRITE_STREAM";
    case zqlusb::IOCTL_SCOPE_WRITE_RAW:
        return "IOCTL_SCOPE_WRITE_RAW";
    case zqlusb::IOCTL_SCOPE_READ:
        return "IOCTL_SCOPE_READ";
    case zqlusb::IOCTL_SCOPE_READY:
        return "IOCTL_SCOPE_READY";
    default:
        return nullptr;
    }
}

std::string AnswerName(std::uint32_t answer) {
    return answer == 4 ? "Retry" : answer == 2 ? "Cancel" : std::to_string(answer);
}

std::string PlatformLine(const Record &r) {
    const std::vector<std::uint64_t> args = zqltrace::ArgumentValues(r);
    const std::optional<zqltrace::ByteSpan> text = zqltrace::FindField(r, zqltrace::kText);
    std::string line = zqltrace::PlatformCallName(r.call);
    if (r.call == zqltrace::kDeviceIoControl && args.size() == 4) {
        const char *name = ControlName(args[1]);
        line += "(" + HexValue(args[0], 8) + ", " + (name ? name : HexValue(args[1], 8)) + ", in " +
                std::to_string(args[2]) + ", out " + std::to_string(args[3]) + ") = " + std::to_string(r.result);
        if (std::optional<std::uint32_t> n = zqltrace::U32Field(r, zqltrace::kReturnedLength)) {
            line += ", returned " + std::to_string(*n);
        }
    } else if (r.call == zqltrace::kMessageBoxA) {
        const std::optional<zqltrace::ByteSpan> caption = zqltrace::FindField(r, zqltrace::kText, 1);
        line += "(" + (text ? Quoted(*text) : "?") + ", " + (caption ? Quoted(*caption) : "?") +
                ") = " + AnswerName(r.result);
    } else {
        line += "(";
        if (text) {
            line += Quoted(*text) + (args.empty() ? "" : ", ");
        }
        for (std::size_t i = 0; i < args.size(); ++i) {
            line += (i ? ", " : "") + HexValue(args[i], 1);
        }
        line += ") = " + HexValue(r.result, 1);
    }
    const std::optional<std::uint32_t> error = zqltrace::U32Field(r, zqltrace::kLastError);
    return error && *error != 0 ? line + ", last error " + std::to_string(*error) : line;
}

std::string RecordLine(const Record &r) {
    switch (r.kind) {
    case zqltrace::kSessionStart: {
        const std::optional<zqltrace::ByteSpan> version = zqltrace::FindField(r, zqltrace::kText);
        const std::vector<std::uint64_t> args = zqltrace::ArgumentValues(r);
        std::string line = "session start: zqlusb " + (version ? std::string(version->begin(), version->end()) : "?");
        if (args.size() >= 2) {
            line += ", process " + std::to_string(args[0]) + ", " + std::to_string(args[1]) + "-bit";
        }
        return line;
    }
    case zqltrace::kExportCall:
        return ExportLine(r);
    case zqltrace::kPlatformCall:
        return PlatformLine(r);
    case zqltrace::kRegisterWrites: {
        const std::optional<zqltrace::ByteSpan> writes = zqltrace::FindField(r, zqltrace::kWrites);
        return "register writes: " + std::to_string(writes ? writes->size() / 2 : 0) +
               " USBSetEPB / USBWriteAddress / USBWriteData calls";
    }
    case zqltrace::kContinued: {
        const std::optional<zqltrace::ByteSpan> file = zqltrace::FindField(r, zqltrace::kText);
        const std::vector<std::uint64_t> args = zqltrace::ArgumentValues(r);
        return "continued: older records are in " + (file ? Quoted(*file) : "?") +
               (args.empty() ? "" : ", to record " + std::to_string(args[0]));
    }
    case zqltrace::kSessionEnd:
        return "session end";
    }
    return "";
}

// The bytes a platform call changed: the first kBytesChanged after its offset.
zqltrace::ByteSpan Output(const Record &r) {
    const std::optional<zqltrace::ByteSpan> changed = zqltrace::FindField(r, zqltrace::kBytesChanged);
    return changed && changed->size() >= 4 ? changed->subspan(4) : zqltrace::ByteSpan();
}

std::vector<std::string> Details(const Record &r, StreamState *stream) {
    std::vector<std::string> lines;
    if (r.kind == zqltrace::kRegisterWrites) {
        if (std::optional<zqltrace::ByteSpan> writes = zqltrace::FindField(r, zqltrace::kWrites)) {
            lines = DescribeRegisterCalls(*writes);
        }
    } else if (r.kind == zqltrace::kPlatformCall && r.call == zqltrace::kDeviceIoControl) {
        const std::vector<std::uint64_t> args = zqltrace::ArgumentValues(r);
        const std::optional<zqltrace::ByteSpan> in = zqltrace::FindField(r, zqltrace::kBytesRead);
        const std::uint64_t code = args.size() > 1 ? args[1] : 0;
        if (code == zqlusb::IOCTL_SCOPE_WRITE_STREAM && in) {
            lines = DescribeStream(*in, stream);
        } else if (code == zqlusb::IOCTL_SCOPE_WRITE_RAW && in) {
            lines.push_back(DescribeRawWrite(*in));
        } else if (code == zqlusb::IOCTL_SCOPE_READ) {
            lines.push_back(r.result != 0 ? DescribeReply(Output(r), *stream) : "no reply");
        }
    } else if (r.kind == zqltrace::kExportCall) {
        zqltrace::FieldWalk walk(r.fields);
        for (zqltrace::Field f; walk.Next(&f);) {
            if (f.tag == zqltrace::kBytesRead && r.call == kScopeDataOrdinal && f.bytes.size() == kScopeHeader) {
                lines.push_back("request: DataCount " + std::to_string(zqltrace::Le16(f.bytes, 0)) + ", DataOffset " +
                                std::to_string(zqltrace::Le16(f.bytes, 2)) + ", Step " +
                                std::to_string(zqltrace::Le16(f.bytes, 4)));
            } else if (f.tag == zqltrace::kBytesRead) {
                lines.push_back("reads " + std::to_string(f.bytes.size()) + " bytes: " + ShortBytes(f.bytes));
            } else if (f.tag == zqltrace::kBytesChanged && f.bytes.size() >= 4) {
                const std::uint32_t at = zqltrace::Le32(f.bytes, 0);
                lines.push_back("changes " + std::to_string(f.bytes.size() - 4) + " bytes at offset " +
                                std::to_string(at) + ": " + ShortBytes(f.bytes.subspan(4)));
            }
        }
    }
    return lines;
}

const char *TagName(std::uint16_t tag) {
    static const char *const kNames[] = {"?",    "arguments",  "bytes read",      "bytes changed",
                                         "text", "last error", "returned length", "writes"};
    return tag < sizeof kNames / sizeof kNames[0] ? kNames[tag] : "unknown field";
}

void HexFields(const Record &r, std::ostream &out) {
    zqltrace::FieldWalk walk(r.fields);
    for (zqltrace::Field f; walk.Next(&f);) {
        out << kIndent << "field " << f.tag << " (" << TagName(f.tag) << "), " << f.bytes.size() << " bytes\n";
        for (std::size_t at = 0; at < f.bytes.size(); at += kHexPerLine) {
            out << kIndent << "  " << HexValue(at, 4).substr(2) << ':';
            for (std::size_t i = at; i < f.bytes.size() && i < at + kHexPerLine; ++i) {
                out << ' ' << HexValue(f.bytes[i], 2).substr(2);
            }
            out << '\n';
        }
    }
}

std::string Seconds(std::uint64_t nanoseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%" PRIu64 ".%06" PRIu64, nanoseconds / 1000000000u,
                  nanoseconds % 1000000000u / 1000u);
    return text;
}

std::string UtcTime(std::uint64_t nanoseconds) {
    const std::time_t seconds = static_cast<std::time_t>(nanoseconds / 1000000000u);
    char text[40] = "?";
    if (const std::tm *utc = std::gmtime(&seconds)) {
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", utc);
    }
    return text + ("." + Seconds(nanoseconds).substr(Seconds(nanoseconds).find('.') + 1)) + " UTC";
}

TraceVerdict Verdict(const zqltrace::Reader &reader) {
    return {reader.ending(), reader.problem(), reader.recordsRead()};
}

} // namespace

TraceVerdict ShowTrace(std::span<const std::uint8_t> file, bool raw, std::ostream &out) {
    zqltrace::Reader reader(file);
    std::uint64_t first = 0;
    StreamState stream;
    for (Record r; reader.Next(&r);) {
        if (reader.recordsRead() == 1) {
            first = r.time;
            out << "first record at " << UtcTime(r.time) << "; times are seconds from it\n";
        }
        const std::uint64_t since = r.time >= first ? r.time - first : 0;
        char head[96];
        std::snprintf(head, sizeof head, "%7" PRIu32 "  %s  thread %" PRIu32 "  depth %u  ", r.number,
                      Seconds(since).c_str(), r.thread, unsigned(r.depth));
        out << head << RecordLine(r) << '\n';
        for (const std::string &line : Details(r, &stream)) {
            out << kIndent << line << '\n';
        }
        if (raw) {
            HexFields(r, out);
        }
    }
    out << reader.problem() << '\n';
    return Verdict(reader);
}

TraceVerdict CheckTrace(std::span<const std::uint8_t> file) {
    zqltrace::Reader reader(file);
    for (Record r; reader.Next(&r);) {
    }
    return Verdict(reader);
}

} // namespace zqlscope
