// The session trace's reader: walks a trace file (src/trace/format.h) held
// in memory, record by record, and says where and why it stops. Shared by
// `zqlscope trace` and the virtual instrument's replay. It reads only inside
// the bytes it is given, whatever they hold, and throws nothing of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "trace/format.h"

namespace zqltrace {

using ByteSpan = std::span<const std::uint8_t>;

// One record, as the reader has checked it: its kind and call are known,
// its fields fit it exactly. The spans point into the file's bytes.
struct Record {
    std::size_t offset = 0; // byte offset of its block in the file
    std::uint64_t time = 0; // when the call returned, in nanoseconds since 1970
    RecordKind kind = kSessionStart;
    std::uint8_t call = 0;
    std::uint8_t depth = 0;
    std::uint8_t flags = 0;
    std::uint32_t thread = 0;
    std::uint32_t number = 0;
    std::uint32_t result = 0;
    ByteSpan fields; // the field area, from the first field's tag to the end
};

struct Field {
    std::uint16_t tag = 0;
    ByteSpan bytes;
};

// The fields of a record in order. On a record the reader returned, Next
// never meets a field that does not fit.
class FieldWalk {
  public:
    explicit FieldWalk(ByteSpan fields) : rest_(fields) {}
    bool Next(Field *field);

  private:
    ByteSpan rest_;
};

// The `n`th field (from 0) with `tag`, if the record has one.
std::optional<ByteSpan> FindField(const Record &record, FieldTag tag, int n = 0);
// The kArguments field as its u64 values (empty without one).
std::vector<std::uint64_t> ArgumentValues(const Record &record);
// A u32 field's value (kLastError, kReturnedLength), if present and 4 bytes.
std::optional<std::uint32_t> U32Field(const Record &record, FieldTag tag);

// Little-endian values at `at`; the caller has checked the length.
std::uint16_t Le16(ByteSpan bytes, std::size_t at);
std::uint32_t Le32(ByteSpan bytes, std::size_t at);
std::uint64_t Le64(ByteSpan bytes, std::size_t at);

// How the readable part of a file ended.
enum class Ending {
    kReading,   // not yet at the end
    kClosed,    // complete: the last record is the session's end
    kNotClosed, // readable, but the library never closed it (unused space or no end record)
    kTruncated, // the file stops inside a block
    kDamaged,   // a block or record does not hold together
    kForeign,   // not a zqlusb trace: not pcapng, another byte order or link type
};

class Reader {
  public:
    explicit Reader(ByteSpan file) : file_(file) {}

    // The next record; false once the readable part is over, and ending()
    // and problem() then say why.
    bool Next(Record *record);

    Ending ending() const { return ending_; }
    // One sentence naming the block or record and its byte offset; for a
    // closed file, a sentence saying so.
    const std::string &problem() const { return problem_; }
    // Records returned so far.
    std::uint64_t recordsRead() const { return recordsRead_; }

  private:
    struct Block {
        std::size_t offset;
        std::uint32_t type;
        std::uint32_t length;
        ByteSpan body; // between the leading and the trailing length
    };
    struct Interface {
        std::uint64_t perSecond; // timestamp units per second
    };

    bool NextBlock(Block *block);
    bool Section(const Block &block);
    bool InterfaceBlock(const Block &block);
    bool Packet(const Block &block, Record *record);
    bool RecordBody(ByteSpan data, std::size_t offset, Record *record);
    bool CheckFields(ByteSpan fields, std::size_t offset);
    bool Stop(Ending ending, std::string sentence);
    std::string NextRecordName(std::size_t offset) const;

    ByteSpan file_;
    std::size_t at_ = 0;
    bool sawSection_ = false;
    std::vector<Interface> interfaces_;
    std::optional<std::uint32_t> lastNumber_;
    RecordKind lastKind_ = kSessionStart;
    std::uint64_t recordsRead_ = 0;
    Ending ending_ = Ending::kReading;
    std::string problem_;
};

// Names for people: "USBWriteData", "DeviceIoControl", "export call".
const char *ExportName(unsigned ordinal);    // nullptr outside 1-18
const char *PlatformCallName(unsigned call); // nullptr outside 1-8
const char *KindName(RecordKind kind);

// Reads a whole file; the one-sentence reason when it cannot.
bool ReadFile(const std::string &path, std::vector<std::uint8_t> *bytes, std::string *error);

} // namespace zqltrace
