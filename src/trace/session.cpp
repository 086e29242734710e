// The recording session: see session.h. All state is constant-initialised
// (nothing runs at load); the file is opened at the first traced export of a
// load and closed when the library is unloaded.
#include "trace/session.h"

#include <cstdlib>
#include <cstring>

#include "link/win32_seam.h"
#include "trace/pcapng.h"
#include "trace/platform.h"

namespace zqltrace {

#if !defined(ZQLUSB_REAL_WIN32)
using namespace zqlwin;
#endif

namespace {

// A run of register writes is written once it holds this many: the writes
// that fill the library's command buffer (16,384 bytes of 2-byte commands).
constexpr std::uint32_t kRunMaxWrites = 8192;
constexpr THREAD_ID kNoOwner = 0;

enum FileState : int { kNotOpened, kWriting, kOff };

// A byte buffer that grows by doubling, through malloc (no C++ runtime).
struct Buffer {
    std::uint8_t *bytes;
    std::size_t length;
    std::size_t capacity;
};

struct Run {
    std::uint32_t count;
    std::uint32_t thread;
    int depth;
    std::uint64_t time;
    std::uint8_t pairs[2 * kRunMaxWrites];
};

struct Session {
    SRWLOCK lock;
    THREAD_ID owner;
    int depth;            // traced exports of the owner now running
    std::uint32_t thread; // the owner's id as records show it
    FileState state;
    std::uint32_t nextRecord;
    std::uint64_t fileBytes; // bytes in the current file
    std::uint64_t partStart; // of which its first records (head, start, continued)
    std::uint64_t partLimit; // a file holds at most this much; 0: no limit
    // The size at which the current file is moved aside: partLimit, or, after
    // a move that failed, one more part's worth beyond where it failed.
    std::uint64_t rotateAt;
    Buffer record;
};
constinit Session State = {SRWLOCK_INIT, kNoOwner, 0, 0, kNotOpened, 1, 0, 0, 0, 0, {nullptr, 0, 0}};
// Apart from State, so that its pairs are zero-initialised memory rather
// than 16 KiB of the DLL's file.
constinit Run OpenRun = {};

// Room for `more` bytes beyond the record's length; false (and tracing off)
// when memory runs out.
bool Reserve(std::size_t more) {
    Buffer &b = State.record;
    if (b.length + more <= b.capacity) {
        return true;
    }
    std::size_t capacity = b.capacity == 0 ? 65536 + 4096 : b.capacity;
    while (capacity < b.length + more) {
        capacity *= 2;
    }
    auto *grown = static_cast<std::uint8_t *>(std::malloc(capacity));
    if (grown == nullptr) {
        State.state = kOff;
        return false;
    }
    if (b.length != 0) {
        std::memcpy(grown, b.bytes, b.length);
    }
    std::free(b.bytes);
    b.bytes = grown;
    b.capacity = capacity;
    return true;
}

void Append(const void *bytes, std::size_t length) {
    if (State.state == kWriting && Reserve(length)) {
        if (length != 0) {
            std::memcpy(State.record.bytes + State.record.length, bytes, length);
        }
        State.record.length += length;
    }
}

void FieldHeader(FieldTag tag, std::size_t length) {
    std::uint8_t header[kFieldHeader];
    PutU16(header, tag);
    PutU32(header + 2, static_cast<std::uint32_t>(length));
    Append(header, sizeof header);
}

bool WriteOut(const void *bytes, std::size_t length) {
    if (!WriteTraceFile(bytes, length)) {
        State.state = kOff;
        TellWriteFailed();
        CloseTraceFile();
        return false;
    }
    State.fileBytes += length;
    return true;
}

void BeginRaw(RecordKind kind, std::uint8_t call, int depth, std::uint32_t thread) {
    State.record.length = 0;
    if (!Reserve(kRecordStart + kRecordHeader)) {
        return;
    }
    std::uint8_t *at = State.record.bytes;
    std::memset(at, 0, kRecordStart + kRecordHeader);
    std::memcpy(at + kEpbHeader, kPduTags, kTagBytes);
    std::uint8_t *header = at + kRecordStart;
    header[0] = kind;
    header[1] = call;
    header[2] = static_cast<std::uint8_t>(depth < 0 ? 0 : depth > 255 ? 255 : depth);
    PutU32(header + 4, thread);
    State.record.length = kRecordStart + kRecordHeader;
}

void StartFile();
void EndRaw(std::uint32_t result, std::uint64_t time);

// Moves the full part aside and starts the new one with its first records,
// the last of which names the older part. When the part cannot be moved,
// the records go on in the current file and the move is tried again one
// part later.
void StartNextPart(std::uint64_t time) {
    char older[kMaxPath * 4];
    const std::uint32_t last = State.nextRecord - 1;
    const Rotation rotation = RotateTraceFile(older);
    if (rotation == kLost) {
        State.state = kOff;
    } else if (rotation == kKeptCurrent) {
        State.rotateAt = State.fileBytes + State.partLimit;
    } else {
        State.fileBytes = 0;
        State.rotateAt = State.partLimit;
        StartFile();
        const std::uint64_t arguments[] = {last};
        BeginRaw(kContinued, 0, 0, 0);
        Text(older);
        Arguments(arguments, 1);
        EndRaw(0, time);
        State.partStart = State.fileBytes;
    }
}

// Finishes the composed record (number, result, timestamp, block lengths)
// and writes it, into a new file part first when the size limit says so.
void EndRaw(std::uint32_t result, std::uint64_t time) {
    if (State.state != kWriting || !Reserve(kEpbTrailer + 3)) {
        return;
    }
    Buffer &b = State.record;
    const std::size_t blockLength = FinishEnhancedPacket(b.bytes, b.length, time);
    PutU32(b.bytes + kRecordStart + 8, State.nextRecord);
    PutU32(b.bytes + kRecordStart + 12, result);
    if (State.partLimit != 0 && State.fileBytes + blockLength > State.rotateAt && State.fileBytes > State.partStart) {
        // The record is kept aside while the new part's first records go out.
        Buffer kept = b;
        State.record = {nullptr, 0, 0};
        StartNextPart(time);
        std::free(State.record.bytes);
        State.record = kept;
        PutU32(b.bytes + kRecordStart + 8, State.nextRecord);
        if (State.state != kWriting) {
            return;
        }
    }
    if (WriteOut(b.bytes, blockLength)) {
        ++State.nextRecord;
    }
}

// The open run of register writes as one record.
void FlushRun() {
    Run &run = OpenRun;
    if (run.count == 0) {
        return;
    }
    const std::uint32_t count = run.count;
    run.count = 0;
    BeginRaw(kRegisterWrites, 0, run.depth, run.thread);
    Bytes(kWrites, run.pairs, 2 * std::size_t{count});
    EndRaw(0, run.time);
}

// A file's first blocks: section header, interface, kSessionStart.
void StartFile() {
    std::uint8_t head[kFileHeadMax];
    const std::size_t length = FileHead(head);
    if (!WriteOut(head, length)) {
        return;
    }
    const std::uint64_t arguments[] = {ProcessId(), 8 * sizeof(void *)};
    BeginRaw(kSessionStart, 0, 0, ThreadId());
    Text(ZQLUSB_VERSION_TEXT);
    Arguments(arguments, 2);
    EndRaw(0, NowNanoseconds());
}

void OpenAtFirstCall() {
    if (!OpenTraceFile()) {
        State.state = kOff;
        return;
    }
    State.state = kWriting;
    const std::uint64_t limit = TraceSizeLimit();
    State.partLimit = limit / 2; // two parts: the newest and the one before
    State.rotateAt = State.partLimit;
    StartFile();
    State.partStart = State.fileBytes;
}

// Takes the lock when it is free, without waiting.
bool TryTake(SRWLOCK *lock) {
#if defined(_WIN32)
    return TryAcquireSRWLockExclusive(lock) != 0;
#else
    int expected = 0;
    return __atomic_compare_exchange_n(&lock->state, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
#endif
}

} // namespace

int EnterExport() {
    const THREAD_ID self = GetCurrentThreadId();
    if (__atomic_load_n(&State.owner, __ATOMIC_RELAXED) != self) {
        AcquireSRWLockExclusive(&State.lock);
        __atomic_store_n(&State.owner, self, __ATOMIC_RELAXED);
        State.thread = ThreadId();
        if (State.state == kNotOpened) {
            OpenAtFirstCall();
        }
    }
    return State.depth++;
}

void LeaveExport() {
    if (--State.depth == 0) {
        __atomic_store_n(&State.owner, kNoOwner, __ATOMIC_RELAXED);
        ReleaseSRWLockExclusive(&State.lock);
    }
}

int CurrentDepth() {
    return State.depth - 1;
}

bool Recording() {
    return State.state == kWriting && __atomic_load_n(&State.owner, __ATOMIC_RELAXED) == GetCurrentThreadId();
}

void Begin(RecordKind kind, std::uint8_t call, int depth) {
    if (State.state != kWriting) {
        return;
    }
    FlushRun();
    BeginRaw(kind, call, depth, State.thread);
}

void Arguments(const std::uint64_t *values, int count) {
    FieldHeader(kArguments, 8 * static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::uint8_t value[8];
        PutU64(value, values[i]);
        Append(value, sizeof value);
    }
}

void Bytes(FieldTag tag, const void *bytes, std::size_t length) {
    FieldHeader(tag, length);
    Append(bytes, length);
}

void Changed(std::uint32_t offset, const void *bytes, std::size_t length) {
    std::uint8_t at[4];
    PutU32(at, offset);
    FieldHeader(kBytesChanged, 4 + length);
    Append(at, sizeof at);
    Append(bytes, length);
}

void Text(const char *text) {
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    Bytes(kText, text, length);
}

void Word(FieldTag tag, std::uint32_t value) {
    std::uint8_t bytes[4];
    PutU32(bytes, value);
    Bytes(tag, bytes, sizeof bytes);
}

void End(std::uint32_t result) {
    EndRaw(result, NowNanoseconds());
}

void RegisterWrite(std::uint8_t ordinal, std::uint8_t value, int depth) {
    if (State.state != kWriting) {
        return;
    }
    Run &run = OpenRun;
    if (run.count != 0 && (run.thread != State.thread || run.depth != depth || run.count == kRunMaxWrites)) {
        FlushRun();
    }
    if (run.count == 0) {
        run.thread = State.thread;
        run.depth = depth;
    }
    run.pairs[2 * run.count] = ordinal;
    run.pairs[2 * run.count + 1] = value;
    ++run.count;
    run.time = NowNanoseconds();
}

void EndSession(bool mayWait) {
    if (__atomic_load_n(&State.owner, __ATOMIC_RELAXED) == GetCurrentThreadId()) {
        return; // unloaded from inside a call: nothing is consistent enough to write
    }
    if (mayWait) {
        AcquireSRWLockExclusive(&State.lock);
    } else if (!TryTake(&State.lock)) {
        return;
    }
    if (State.state == kWriting) {
        FlushRun();
        BeginRaw(kSessionEnd, 0, 0, ThreadId());
        EndRaw(0, NowNanoseconds());
        CloseTraceFile();
    }
    State.state = kOff;
    std::free(State.record.bytes);
    State.record = {nullptr, 0, 0};
    ReleaseSRWLockExclusive(&State.lock);
}

} // namespace zqltrace
