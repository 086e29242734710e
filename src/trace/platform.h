// What the recording layer needs from the operating system: the trace file,
// the clock and the ids of the process and the thread. One implementation
// for Windows (platform_win32.cpp, kernel32 only) and one for POSIX
// (platform_posix.cpp, the native library and the benchmark). Plain C-level
// code: nothing here may allocate through the C++ runtime or fail by throwing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zqltrace {

// Longest path of a trace file, in characters, the ".1" of the older part
// included; a longer ZQLUSB_TRACE leaves tracing off.
constexpr std::size_t kMaxPath = 1024;

// Creates (or empties) the trace file and takes it for this process alone:
// the path in ZQLUSB_TRACE, else zqlusb-<process id>.pcapng in the user's
// temporary folder. When another process is recording to that path, this
// one records to the path with "-<process id>" before its extension. Tells
// the user where the trace goes, or that it cannot be written (Tell). False
// when no file could be made; the layer then records nothing.
bool OpenTraceFile();
// Appends `length` bytes to the open trace file; false when the file could
// not take them all. Keeps the thread's last error as it was.
bool WriteTraceFile(const void *bytes, std::size_t length);
enum Rotation : int {
    kRotated,     // the full part is the older part now; a new, empty file is open
    kKeptCurrent, // it could not be moved (the older part may be open in a viewer):
                  // the current file stays open and takes the records that follow
    kLost,        // moved, but no new file could be made: nothing more is recorded
};
// Closes the trace file, renames it to the name of its older part (replacing
// an older part from before) and opens a new, empty file under the trace's
// name. Stores the older part's name, UTF-8 and zero-terminated, in
// `olderName` (kMaxPath * 4 bytes). Tells the user when it is not kRotated.
Rotation RotateTraceFile(char *olderName);
// Tells the user that a write to the trace file failed and nothing more is
// recorded.
void TellWriteFailed();
// Closes the trace file, if one is open.
void CloseTraceFile();
// ZQLUSB_TRACE_MAX_MB as a byte count; kDefaultMaxMiB when unset or not a
// whole number; 0 (no limit) for "0".
std::uint64_t TraceSizeLimit();
constexpr std::uint64_t kDefaultMaxMiB = 256;

// Nanoseconds since 1970-01-01 UTC.
std::uint64_t NowNanoseconds();
std::uint32_t ProcessId();
// The calling thread's id as the operating system shows it.
std::uint32_t ThreadId();

// Shared by both implementations: ZQLUSB_TRACE_MAX_MB's text (null when
// unset) as a byte count, see TraceSizeLimit. Numbers above a million MiB
// are taken as the default too.
template <typename Char> std::uint64_t SizeLimitFrom(const Char *text) {
    constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
    constexpr std::uint64_t kLargest = 1000000;
    std::uint64_t mib = 0;
    if (text == nullptr || text[0] == 0) {
        return kDefaultMaxMiB * kMiB;
    }
    for (const Char *c = text; *c != 0; ++c) {
        if (*c < '0' || *c > '9' || mib > kLargest) {
            return kDefaultMaxMiB * kMiB;
        }
        mib = mib * 10 + static_cast<std::uint64_t>(*c - '0');
    }
    return mib > kLargest ? kDefaultMaxMiB * kMiB : mib * kMiB;
}
// `path` with `suffix` (ASCII) put before its ".pcapng" extension, or at its
// end when it has none: "x.1.pcapng" for "x.pcapng" and ".1". Returns false
// when it does not fit in `capacity` characters (the terminator included).
// Works on chars or wide characters alike.
template <typename Char> bool BeforeExtension(const Char *path, const char *suffix, Char *out, std::size_t capacity) {
    static const char kExtension[] = ".pcapng";
    constexpr std::size_t kExtensionLength = sizeof kExtension - 1;
    std::size_t length = 0;
    while (path[length] != 0) {
        ++length;
    }
    std::size_t added = 0;
    while (suffix[added] != 0) {
        ++added;
    }
    if (length + added + 1 > capacity) {
        return false;
    }
    std::size_t stem = length;
    if (length >= kExtensionLength) {
        bool matches = true;
        for (std::size_t i = 0; i < kExtensionLength; ++i) {
            matches = matches && path[length - kExtensionLength + i] == static_cast<Char>(kExtension[i]);
        }
        stem = matches ? length - kExtensionLength : length;
    }
    std::size_t at = 0;
    for (; at < stem; ++at) {
        out[at] = path[at];
    }
    for (std::size_t i = 0; i < added; ++i) {
        out[at++] = static_cast<Char>(suffix[i]);
    }
    for (std::size_t i = stem; i < length; ++i) {
        out[at++] = path[i];
    }
    out[at] = 0;
    return true;
}
// The older part's name: "x.1.pcapng" for "x.pcapng", else "x.1".
template <typename Char> bool OlderPartName(const Char *path, Char *older, std::size_t capacity) {
    return BeforeExtension(path, ".1", older, capacity);
}
// The name a second process recording to `path` takes: "x-<pid>.pcapng".
template <typename Char> bool OwnName(const Char *path, std::uint32_t pid, Char *out, std::size_t capacity) {
    char suffix[16] = {'-'};
    char digits[12];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid != 0);
    for (std::size_t i = 0; i < count; ++i) {
        suffix[1 + i] = digits[count - 1 - i];
    }
    suffix[1 + count] = 0;
    return BeforeExtension(path, suffix, out, capacity);
}

// What the user is told, on standard error (and on Windows to the debugger
// too), each a sentence with the paths in it.
inline constexpr const char kSayRecording[] = "zqlusb: recording the session trace to ";
inline constexpr const char kSayInUse[] = "zqlusb: another process is recording to ";
inline constexpr const char kSayInUseOwn[] = "; this process records to ";
inline constexpr const char kSayCannotCreate[] = "zqlusb: cannot create the trace file ";
inline constexpr const char kSayNothingRecorded[] = "; nothing is recorded";
inline constexpr const char kSayCannotMove[] = "zqlusb: cannot move the full trace file to ";
inline constexpr const char kSayGoesOn[] = "; recording goes on in ";
inline constexpr const char kSayNoNewFile[] = "zqlusb: cannot create a new trace file ";
inline constexpr const char kSayWriteFailed[] = "zqlusb: writing the trace file ";
inline constexpr const char kSayStopped[] = " failed; recording stopped";

// A sentence for the user, composed of ASCII text and paths in the
// platform's characters; cut short rather than overrun.
template <typename Char> struct Notice {
    static constexpr std::size_t kCapacity = 3 * kMaxPath + 256; // two paths and the words around them
    Char text[kCapacity];
    std::size_t length = 0;
    Notice &Add(const char *ascii) {
        for (; *ascii != 0 && length + 1 < kCapacity; ++ascii) {
            text[length++] = static_cast<Char>(*ascii);
        }
        text[length] = 0;
        return *this;
    }
    Notice &Path(const Char *path) {
        for (; *path != 0 && length + 1 < kCapacity; ++path) {
            text[length++] = *path;
        }
        text[length] = 0;
        return *this;
    }
};

} // namespace zqltrace
