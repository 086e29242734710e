// The recording session: the trace lock, the file's records and the open run
// of register writes. Used by the traced exports (exports.cpp) and by the
// recording binding of the platform seam (recording_binding.cpp); the record
// layout is that of format.h.
//
// Every traced export holds the trace lock for the whole of its call (outside
// the library's own export lock, so the two are always taken in one order),
// so records are composed one at a time: a record is composed after its call
// returned, from the call's arguments, results and buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "trace/format.h"

namespace zqltrace {

// Takes the trace lock for an exported call (re-entrantly: a call from the
// retry dialog of another joins it) and opens the trace file at the first
// call of a load. Returns the call's nesting depth, 0 for a call from the
// application.
int EnterExport();
void LeaveExport();
// The depth of the export whose platform calls are being made.
int CurrentDepth();
// Whether the calling thread's platform calls are recorded: it is inside a
// traced export and the file is being written (not when it could not be
// made, or a write to it failed). The core's exports called directly, as the
// benchmark does for its untraced figures, record nothing.
bool Recording();

// Composes one record: Begin, the fields in order, End. End writes it.
void Begin(RecordKind kind, std::uint8_t call, int depth);
void Arguments(const std::uint64_t *values, int count);
void Bytes(FieldTag tag, const void *bytes, std::size_t length);
// kBytesChanged: `offset` into the caller's buffer, then the bytes.
void Changed(std::uint32_t offset, const void *bytes, std::size_t length);
void Text(const char *text);
void Word(FieldTag tag, std::uint32_t value);
void End(std::uint32_t result);

// USBSetEPB (value 0), USBWriteAddress and USBWriteData: appended to the open
// run of this thread at this depth, which is written as one kRegisterWrites
// record before the next record of any other kind.
void RegisterWrite(std::uint8_t ordinal, std::uint8_t value, int depth);

// The library is being unloaded: the open run, kSessionEnd, the file closed,
// the buffers freed. `mayWait` false (the process is ending, other threads
// are gone and may have died holding the trace lock): nothing is written
// unless the lock is free.
void EndSession(bool mayWait);

} // namespace zqltrace
