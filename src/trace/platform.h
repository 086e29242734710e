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

// Creates (or empties) the trace file: the path in ZQLUSB_TRACE, else
// zqlusb-<process id>.pcapng in the user's temporary folder. False when
// neither can be created; the layer then records nothing.
bool OpenTraceFile();
// Appends `length` bytes to the open trace file; false when the file could
// not take them all. Keeps the thread's last error as it was.
bool WriteTraceFile(const void *bytes, std::size_t length);
// Closes the trace file, renames it to the name of its older part (replacing
// an older part from before) and opens a new, empty file under the trace's
// name. Stores the older part's name, UTF-8 and zero-terminated, in
// `olderName` (kMaxPath * 4 bytes). False when the new file cannot be made.
bool RotateTraceFile(char *olderName);
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
// The older part's name: "x.1.pcapng" for "x.pcapng", else "x.1". Returns
// false when it does not fit in `capacity` characters (the terminator
// included). Works on chars or wide characters alike.
template <typename Char> bool OlderPartName(const Char *path, Char *older, std::size_t capacity) {
    static const char kExtension[] = ".pcapng";
    constexpr std::size_t kExtensionLength = sizeof kExtension - 1;
    std::size_t length = 0;
    while (path[length] != 0) {
        ++length;
    }
    if (length + 3 > capacity) {
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
        older[at] = path[at];
    }
    older[at++] = static_cast<Char>('.');
    older[at++] = static_cast<Char>('1');
    for (std::size_t i = stem; i < length; ++i) {
        older[at++] = path[i];
    }
    older[at] = 0;
    return true;
}

} // namespace zqltrace
