// Reading a session trace's records: the exported-PDU tags that open a
// packet's data, the record header and its kinds, the names of the calls it
// records, and the fields that follow the header.
#include "trace_reader/trace_reader.h"

#include <cstring>

namespace zqltrace {

namespace {

// The exported-PDU tags that open every record's packet data.
constexpr std::uint8_t kTags[kTagBytes] = {0x00, 0x0C, 0x00, 0x06, 'z', 'q', 'l', 'u', 's', 'b', 0, 0, 0, 0};
constexpr std::uint16_t kTagDissectorName = 0x000C;

constexpr unsigned kExportCount = 18;
const char *const kExportNames[kExportCount] = {"SetDLLBehaviour",
                                                "DeviceReady",
                                                "USBInitDevice",
                                                "GetDriverVersion",
                                                "USBFlushBuffer",
                                                "USBSetEPB",
                                                "USBWriteAddress",
                                                "USBWriteData",
                                                "USBReadData",
                                                "USBReadI2CEEPROM",
                                                "USBWriteI2CEEPROM",
                                                "USBWriteBuffer",
                                                "USBLoadFPGA",
                                                "USBReadFromEEPROM",
                                                "USBReadDataBlock",
                                                "USBRetrieveScopeData",
                                                "USBRetrieveRollModeData",
                                                "USBRetrievePreTriggerData"};

constexpr unsigned kPlatformCallCount = 8;
const char *const kPlatformCallNames[kPlatformCallCount] = {"SetupDiGetClassDevsA",
                                                            "SetupDiEnumDeviceInterfaces",
                                                            "SetupDiGetDeviceInterfaceDetailA",
                                                            "SetupDiDestroyDeviceInfoList",
                                                            "CreateFileA",
                                                            "DeviceIoControl",
                                                            "CloseHandle",
                                                            "MessageBoxA"};

// Whether `call` names a call for records of `kind`.
bool KnownCall(RecordKind kind, std::uint8_t call) {
    switch (kind) {
    case kExportCall:
        return call >= 1 && call <= kExportCount;
    case kPlatformCall:
        return call >= 1 && call <= kPlatformCallCount;
    default:
        return true;
    }
}

} // namespace

bool FieldWalk::Next(Field *field) {
    if (rest_.size() < kFieldHeader) {
        return false;
    }
    const std::uint32_t length = Le32(rest_, 2);
    if (length > rest_.size() - kFieldHeader) {
        return false;
    }
    field->tag = Le16(rest_, 0);
    field->bytes = rest_.subspan(kFieldHeader, length);
    rest_ = rest_.subspan(kFieldHeader + length);
    return true;
}

std::optional<ByteSpan> FindField(const Record &record, FieldTag tag, int n) {
    FieldWalk walk(record.fields);
    for (Field field; walk.Next(&field);) {
        if (field.tag == tag && n-- == 0) {
            return field.bytes;
        }
    }
    return std::nullopt;
}

std::vector<std::uint64_t> ArgumentValues(const Record &record) {
    std::vector<std::uint64_t> values;
    if (std::optional<ByteSpan> bytes = FindField(record, kArguments)) {
        for (std::size_t at = 0; at + 8 <= bytes->size(); at += 8) {
            values.push_back(Le64(*bytes, at));
        }
    }
    return values;
}

std::optional<std::uint32_t> U32Field(const Record &record, FieldTag tag) {
    std::optional<ByteSpan> bytes = FindField(record, tag);
    if (!bytes || bytes->size() != 4) {
        return std::nullopt;
    }
    return Le32(*bytes, 0);
}

bool Reader::RecordBody(ByteSpan data, std::size_t offset, Record *record) {
    const std::string name = NextRecordName(offset);
    if (data.size() >= kTagBytes && data[0] == 0 && data[1] == kTagDissectorName &&
        std::memcmp(data.data(), kTags, kTagBytes) != 0) {
        return Stop(Ending::kForeign, "Foreign: " + name + " is addressed to another dissector than zqlusb.");
    }
    if (data.size() < kTagBytes + kRecordHeader || std::memcmp(data.data(), kTags, kTagBytes) != 0) {
        return Stop(Ending::kDamaged, "Damaged: " + name + " does not start with the zqlusb record header.");
    }
    const ByteSpan r = data.subspan(kTagBytes);
    const std::uint8_t kind = r[0];
    if (kind < kSessionStart || kind > kSessionEnd) {
        return Stop(Ending::kDamaged, "Damaged: " + name + " is of unknown kind " + std::to_string(kind) + ".");
    }
    record->kind = static_cast<RecordKind>(kind);
    record->call = r[1];
    if (!KnownCall(record->kind, record->call)) {
        return Stop(Ending::kDamaged, "Damaged: " + name + " names call " + std::to_string(record->call) +
                                          ", unknown for a " + KindName(record->kind) + ".");
    }
    record->depth = r[2];
    record->flags = r[3];
    record->thread = Le32(r, 4);
    record->number = Le32(r, 8);
    record->result = Le32(r, 12);
    if (lastNumber_ && record->number != *lastNumber_ + 1ull) {
        return Stop(Ending::kDamaged, "Damaged: " + name + " carries the number " + std::to_string(record->number) +
                                          " (records are missing or out of order).");
    }
    record->offset = offset;
    record->fields = r.subspan(kRecordHeader);
    return CheckFields(record->fields, offset);
}

bool Reader::CheckFields(ByteSpan fields, std::size_t offset) {
    const std::string name = NextRecordName(offset);
    std::size_t at = 0;
    while (at < fields.size()) {
        if (fields.size() - at < kFieldHeader) {
            return Stop(Ending::kDamaged, "Damaged: " + name + " ends inside a field's header.");
        }
        const std::uint32_t length = Le32(fields, at + 2);
        if (length > fields.size() - at - kFieldHeader) {
            return Stop(Ending::kDamaged, "Damaged: a field of " + name + " (tag " + std::to_string(Le16(fields, at)) +
                                              ", " + std::to_string(length) + " bytes) runs past the record's end.");
        }
        at += kFieldHeader + length;
    }
    return true;
}

const char *ExportName(unsigned ordinal) {
    return ordinal >= 1 && ordinal <= kExportCount ? kExportNames[ordinal - 1] : nullptr;
}

const char *PlatformCallName(unsigned call) {
    return call >= 1 && call <= kPlatformCallCount ? kPlatformCallNames[call - 1] : nullptr;
}

const char *KindName(RecordKind kind) {
    switch (kind) {
    case kSessionStart:
        return "session start";
    case kExportCall:
        return "export call";
    case kPlatformCall:
        return "platform call";
    case kRegisterWrites:
        return "register writes";
    case kContinued:
        return "continuation";
    case kSessionEnd:
        return "session end";
    }
    return "record";
}

} // namespace zqltrace
