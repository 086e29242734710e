// kernel32's environment, clock and text calls for the trace DLL: an
// environment variable, the temporary folder, the precise system time as a
// FILETIME, and UTF-16 to UTF-8.
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "x86/system_state.h"

namespace x86 {

namespace {

constexpr std::uint32_t kCodePageUtf8 = 65001;
// FILETIME counts 100 ns from 1601; the host clock counts from 1970.
constexpr std::uint64_t kFileTimeTo1970 = 116444736000000000ull;

std::uint32_t GetEnvironmentVariableW(const Frame &f) {
    const char16_t *name = GuestWideString(f.Argument(0));
    if (Faulted() || name == nullptr) {
        return Fail(kErrorInvalidParameter);
    }
    const char *value = std::getenv(Utf8(name, -1).c_str());
    if (value == nullptr) {
        return Fail(kErrorEnvvarNotFound);
    }
    return ReturnWide(Utf16(value), f.Argument(1), f.Argument(2));
}

std::uint32_t GetTempPathW(const Frame &f) {
    const char *folder = std::getenv("TMPDIR");
    std::string path = folder != nullptr && folder[0] != 0 ? folder : "/tmp";
    if (path.back() != '/') {
        path += '/';
    }
    return ReturnWide(Utf16(path), f.Argument(1), f.Argument(0));
}

std::uint32_t GetSystemTimePreciseAsFileTime(const Frame &f) {
    auto *out = static_cast<std::uint32_t *>(GuestBytes(f.Argument(0), 8, "the FILETIME"));
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t ticks = kFileTimeTo1970 + static_cast<std::uint64_t>(now.tv_sec) * 10000000u +
                                static_cast<std::uint64_t>(now.tv_nsec) / 100u;
    if (out != nullptr) {
        out[0] = static_cast<std::uint32_t>(ticks);
        out[1] = static_cast<std::uint32_t>(ticks >> 32);
    }
    return 0;
}

std::uint32_t WideCharToMultiByte(const Frame &f) {
    if (f.Argument(0) != kCodePageUtf8) {
        Fault("WideCharToMultiByte to code page " + std::to_string(f.Argument(0)) + ", which the bed does not serve");
        return 0;
    }
    const auto length = static_cast<std::int32_t>(f.Argument(3));
    const char16_t *text = length < 0
                               ? GuestWideString(f.Argument(2))
                               : static_cast<const char16_t *>(GuestBytes(f.Argument(2), 2u * length, "the text"));
    if (Faulted() || text == nullptr) {
        return Fail(kErrorInvalidParameter);
    }
    std::string out = Utf8(text, length);
    if (length < 0) {
        out += '\0'; // the NUL is converted too
    }
    const std::uint32_t room = f.Argument(5);
    if (room == 0) {
        return static_cast<std::uint32_t>(out.size());
    }
    if (room < out.size()) {
        return Fail(kErrorInsufficientBuffer);
    }
    void *buffer = GuestBytes(f.Argument(4), static_cast<std::uint32_t>(out.size()), "the output");
    if (buffer != nullptr) {
        std::memcpy(buffer, out.data(), out.size());
    }
    return static_cast<std::uint32_t>(out.size());
}

} // namespace

std::vector<HostImport> EnvironmentImports() {
    return {
        {"kernel32.dll", "GetEnvironmentVariableW", &GetEnvironmentVariableW, 12},
        {"kernel32.dll", "GetTempPathW", &GetTempPathW, 8},
        {"kernel32.dll", "GetSystemTimePreciseAsFileTime", &GetSystemTimePreciseAsFileTime, 4},
        {"kernel32.dll", "WideCharToMultiByte", &WideCharToMultiByte, 32},
    };
}

} // namespace x86
