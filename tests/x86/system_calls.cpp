// The x86 DLL's kernel32 and C runtime imports beyond the seam's patched
// calls, served over the host: the export lock and thread id, the trace
// DLL's file, clock and environment calls, and the C runtime's heap and
// memory functions. Paths pass through as the host's (UTF-16 to UTF-8).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>

#include "x86/imports.h"

namespace x86 {

namespace {

// kernel32's values that the trace DLL's calls use.
constexpr std::uint32_t kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u;
constexpr std::uint32_t kFileShareWrite = 0x2;
constexpr std::uint32_t kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4, kTruncateExisting = 5;
constexpr std::uint32_t kMoveFileReplaceExisting = 0x1;
constexpr std::uint32_t kInvalidHandle = 0xFFFFFFFFu;
constexpr std::uint32_t kCodePageUtf8 = 65001;
constexpr std::uint32_t kErrorFileNotFound = 2, kErrorPathNotFound = 3, kErrorAccessDenied = 5,
                        kErrorSharingViolation = 32, kErrorFileExists = 80, kErrorAlreadyExists = 183,
                        kErrorEnvvarNotFound = 203, kErrorInsufficientBuffer = 122, kErrorInvalidParameter = 87;
// FILETIME counts 100 ns from 1601; the host clock counts from 1970.
constexpr std::uint64_t kFileTimeTo1970 = 116444736000000000ull;
// The bed's file handles, told apart from the stand-in's by this tag.
constexpr std::uint32_t kFileTag = 0x0B000000, kTagMask = 0xFF000000;

// The standard handles: STD_INPUT_HANDLE, STD_OUTPUT_HANDLE and
// STD_ERROR_HANDLE as GetStdHandle takes them, and the handles it gives.
constexpr std::uint32_t kStdHandleFirst = static_cast<std::uint32_t>(-12),
                        kStdHandleLast = static_cast<std::uint32_t>(-10);
constexpr std::uint32_t kStdTag = 0x0C000000;
constexpr std::uint32_t kFileTypeDisk = 1, kFileTypeChar = 2, kFileTypePipe = 3;
constexpr std::uint32_t kFileBegin = 0, kFileCurrent = 1, kFileEnd = 2;

struct SystemState {
    std::uint32_t lastError = 0;
    std::map<std::uint32_t, int> files; // handle value to descriptor
    std::uint32_t nextFile = 1;
    std::vector<std::string> debugOutput; // what OutputDebugString was given, as UTF-8
};
SystemState state;

std::uint32_t Fail(std::uint32_t error, std::uint32_t result = 0) {
    state.lastError = error;
    return result;
}

std::uint32_t ErrorOf(int posixError) {
    switch (posixError) {
    case ENOENT:
        return kErrorFileNotFound;
    case ENOTDIR:
        return kErrorPathNotFound;
    case EEXIST:
        return kErrorFileExists;
    case EWOULDBLOCK:
        return kErrorSharingViolation;
    default:
        return kErrorAccessDenied;
    }
}

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Utf8(const char16_t *text, long long length) {
    std::string out;
    for (long long i = 0; length < 0 ? text[i] != 0 : i < length; ++i) {
        char32_t c = text[i];
        const bool pair = c >= 0xD800 && c < 0xDC00 && (length < 0 || i + 1 < length) && text[i + 1] >= 0xDC00 &&
                          text[i + 1] < 0xE000;
        if (pair) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::u16string Utf16(const std::string &text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        char32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k) {
            c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        i += static_cast<std::size_t>(extra) + 1;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

// Copies `text` and its NUL into the DLL's buffer of `size` characters:
// kernel32's rule for the calls that return a string's length.
std::uint32_t ReturnWide(const std::u16string &text, Address buffer, std::uint32_t size) {
    const auto length = static_cast<std::uint32_t>(text.size());
    if (size <= length) {
        return length + 1; // the size needed, NUL included
    }
    auto *out = static_cast<char16_t *>(GuestBytes(buffer, (length + 1) * 2, "the string buffer"));
    if (out == nullptr) {
        return 0;
    }
    std::memcpy(out, text.c_str(), (length + 1) * 2);
    return length;
}

std::uint32_t *LockWord(const Frame &f) {
    return static_cast<std::uint32_t *>(GuestBytes(f.Argument(0), 4, "the lock"));
}

std::uint32_t AcquireSRWLockExclusive(const Frame &f) {
    std::uint32_t *lock = LockWord(f);
    if (lock != nullptr && *lock != 0) {
        Fault("AcquireSRWLockExclusive on a lock this thread holds: it would wait for ever (the export lock "
              "taken again by its owner)");
    } else if (lock != nullptr) {
        *lock = 1;
    }
    return 0;
}

std::uint32_t TryAcquireSRWLockExclusive(const Frame &f) {
    std::uint32_t *lock = LockWord(f);
    if (lock == nullptr || *lock != 0) {
        return 0;
    }
    *lock = 1;
    return 1;
}

std::uint32_t ReleaseSRWLockExclusive(const Frame &f) {
    std::uint32_t *lock = LockWord(f);
    if (lock != nullptr && *lock == 0) {
        Fault("ReleaseSRWLockExclusive on a lock that is not held");
    } else if (lock != nullptr) {
        *lock = 0;
    }
    return 0;
}

std::uint32_t GetCurrentThreadId(const Frame &) {
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
}

std::uint32_t GetCurrentProcessId(const Frame &) {
    return static_cast<std::uint32_t>(getpid());
}

std::uint32_t GetLastError(const Frame &) {
    return state.lastError;
}

std::uint32_t SetLastError(const Frame &f) {
    state.lastError = f.Argument(0);
    return 0;
}

bool Exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

int OpenFlags(std::uint32_t access, std::uint32_t disposition) {
    int flags = (access & kGenericRead) && (access & kGenericWrite) ? O_RDWR
                : (access & kGenericWrite)                          ? O_WRONLY
                                                                    : O_RDONLY;
    flags |= disposition == kCreateNew ? O_CREAT | O_EXCL : 0;
    flags |= disposition == kCreateAlways || disposition == kOpenAlways ? O_CREAT : 0;
    return flags | O_CLOEXEC;
}

// Windows' sharing as advisory locks: a handle that lets no one else write
// holds the file exclusively; any other writer shares it.
bool Share(int fd, std::uint32_t access, std::uint32_t share) {
    if ((access & kGenericWrite) == 0) {
        return true;
    }
    return flock(fd, ((share & kFileShareWrite) ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0;
}

std::uint32_t CreateFileW(const Frame &f) {
    const char16_t *name = GuestWideString(f.Argument(0));
    const std::uint32_t access = f.Argument(1), share = f.Argument(2), disposition = f.Argument(4);
    if (Faulted() || name == nullptr || disposition < kCreateNew || disposition > kTruncateExisting) {
        return Fail(kErrorInvalidParameter, kInvalidHandle);
    }
    const std::string path = Utf8(name, -1);
    const bool existed = Exists(path);
    const int fd = open(path.c_str(), OpenFlags(access, disposition), 0644);
    if (fd < 0) {
        return Fail(ErrorOf(errno), kInvalidHandle);
    }
    // A device (a console, /dev/full) is neither shared out nor emptied.
    struct stat about {};
    const bool regular = fstat(fd, &about) == 0 && S_ISREG(about.st_mode);
    if (regular && !Share(fd, access, share)) {
        close(fd);
        return Fail(kErrorSharingViolation, kInvalidHandle);
    }
    const bool empties = disposition == kCreateAlways || disposition == kTruncateExisting;
    if (regular && empties && ftruncate(fd, 0) != 0) {
        close(fd);
        return Fail(kErrorAccessDenied, kInvalidHandle);
    }
    const std::uint32_t handle = kFileTag | state.nextFile++;
    state.files[handle] = fd;
    // CREATE_ALWAYS and OPEN_ALWAYS say whether the file was there.
    state.lastError = existed && (disposition == kCreateAlways || disposition == kOpenAlways) ? kErrorAlreadyExists : 0;
    return handle;
}

// The descriptor behind a bed handle (a file, or a standard handle), or -1.
int Descriptor(std::uint32_t handle) {
    if ((handle & kTagMask) == kStdTag) {
        return static_cast<int>(handle & 0xFF);
    }
    auto file = state.files.find(handle);
    return file == state.files.end() ? -1 : file->second;
}

std::uint32_t WriteFile(const Frame &f) {
    const std::uint32_t size = f.Argument(2);
    const void *bytes = GuestBytes(f.Argument(1), size, "the bytes to write");
    auto *written = static_cast<std::uint32_t *>(GuestBytes(f.Argument(3), 4, "the written count"));
    const int fd = Descriptor(f.Argument(0));
    if (Faulted() || f.Argument(4) != 0 || fd < 0) {
        return Fail(kErrorInvalidParameter);
    }
    const ssize_t n = write(fd, bytes, size);
    if (written != nullptr) {
        *written = n < 0 ? 0 : static_cast<std::uint32_t>(n);
    }
    return n < 0 ? Fail(ErrorOf(errno)) : 1;
}

std::uint32_t GetStdHandle(const Frame &f) {
    const std::uint32_t which = f.Argument(0);
    if (which < kStdHandleFirst || which > kStdHandleLast) {
        return Fail(kErrorInvalidParameter, kInvalidHandle);
    }
    return kStdTag | (2 - (which - kStdHandleFirst)); // -12 is 2 (error), -10 is 0 (input)
}

std::uint32_t GetFileType(const Frame &f) {
    const int fd = Descriptor(f.Argument(0));
    struct stat about {};
    if (fd < 0 || fstat(fd, &about) != 0) {
        return Fail(kErrorInvalidParameter);
    }
    return isatty(fd)                                           ? kFileTypeChar
           : S_ISFIFO(about.st_mode) || S_ISSOCK(about.st_mode) ? kFileTypePipe
                                                                : kFileTypeDisk;
}

std::uint32_t WriteConsoleW(const Frame &f) {
    const std::uint32_t length = f.Argument(2);
    const auto *text = static_cast<const char16_t *>(GuestBytes(f.Argument(1), 2 * length, "the text"));
    auto *written = static_cast<std::uint32_t *>(GuestBytes(f.Argument(3), 4, "the written count"));
    const int fd = Descriptor(f.Argument(0));
    if (Faulted() || fd < 0 || !isatty(fd)) {
        return Fail(6); // ERROR_INVALID_HANDLE: not a console
    }
    const std::string out = Utf8(text, length);
    if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
        return Fail(ErrorOf(errno));
    }
    if (written != nullptr) {
        *written = length;
    }
    return 1;
}

std::uint32_t OutputDebugStringW(const Frame &f) {
    const char16_t *text = GuestWideString(f.Argument(0));
    if (text != nullptr) {
        state.debugOutput.push_back(Utf8(text, -1));
    }
    return 0;
}

// SetFilePointerEx(handle, LARGE_INTEGER distance (two words), PLARGE_INTEGER, method).
std::uint32_t SetFilePointerEx(const Frame &f) {
    const auto distance = static_cast<std::int64_t>(std::uint64_t{f.Argument(2)} << 32 | f.Argument(1));
    auto *position = static_cast<std::uint32_t *>(GuestBytes(f.Argument(3), 8, "the new position"));
    const std::uint32_t method = f.Argument(4);
    const int fd = Descriptor(f.Argument(0));
    if (Faulted() || fd < 0 || method > kFileEnd) {
        return Fail(kErrorInvalidParameter);
    }
    const int whence = method == kFileBegin ? SEEK_SET : method == kFileCurrent ? SEEK_CUR : SEEK_END;
    const off_t at = lseek(fd, distance, whence);
    if (at < 0) {
        return Fail(ErrorOf(errno));
    }
    if (position != nullptr) {
        position[0] = static_cast<std::uint32_t>(at);
        position[1] = static_cast<std::uint32_t>(static_cast<std::uint64_t>(at) >> 32);
    }
    return 1;
}

std::uint32_t MoveFileExW(const Frame &f) {
    const char16_t *from = GuestWideString(f.Argument(0)), *to = GuestWideString(f.Argument(1));
    if (Faulted() || from == nullptr || to == nullptr) {
        return Fail(kErrorInvalidParameter);
    }
    const std::string target = Utf8(to, -1);
    if ((f.Argument(2) & kMoveFileReplaceExisting) == 0 && Exists(target)) {
        return Fail(kErrorAlreadyExists);
    }
    return rename(Utf8(from, -1).c_str(), target.c_str()) == 0 ? 1 : Fail(ErrorOf(errno));
}

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

std::uint32_t Malloc(std::uint32_t size, std::uint8_t fill) {
    const Address at = MapHeapBlock(size);
    if (at != 0 && size != 0) {
        std::memset(Host(at, size), fill, size);
    }
    return at;
}

std::uint32_t malloc_(const Frame &f) {
    return Malloc(f.Argument(0), 0xBE); // not zeroed, as the C runtime's is not
}

std::uint32_t calloc_(const Frame &f) {
    const std::uint64_t size = std::uint64_t{f.Argument(0)} * f.Argument(1);
    return size > 0xFFFFFFFFu ? 0 : Malloc(static_cast<std::uint32_t>(size), 0);
}

std::uint32_t free_(const Frame &f) {
    if (f.Argument(0) != 0 && !FreeHeapBlock(f.Argument(0))) {
        Fault("free of a block that malloc did not return or that is freed already");
    }
    return 0;
}

std::uint32_t memcpy_(const Frame &f) {
    const std::uint32_t size = f.Argument(2);
    void *to = GuestBytes(f.Argument(0), size, "memcpy's destination");
    const void *from = GuestBytes(f.Argument(1), size, "memcpy's source");
    if (!Faulted() && size != 0) {
        std::memmove(to, from, size);
    }
    return f.Argument(0);
}

std::uint32_t memset_(const Frame &f) {
    const std::uint32_t size = f.Argument(2);
    void *to = GuestBytes(f.Argument(0), size, "memset's destination");
    if (!Faulted() && size != 0) {
        std::memset(to, static_cast<int>(f.Argument(1) & 0xFF), size);
    }
    return f.Argument(0);
}

std::uint32_t strlen_(const Frame &f) {
    const char *text = GuestString(f.Argument(0));
    return text == nullptr ? 0 : static_cast<std::uint32_t>(std::strlen(text));
}

} // namespace

std::vector<HostImport> SystemImports() {
    return {
        {"kernel32.dll", "AcquireSRWLockExclusive", &AcquireSRWLockExclusive, 4},
        {"kernel32.dll", "TryAcquireSRWLockExclusive", &TryAcquireSRWLockExclusive, 4},
        {"kernel32.dll", "ReleaseSRWLockExclusive", &ReleaseSRWLockExclusive, 4},
        {"kernel32.dll", "GetCurrentThreadId", &GetCurrentThreadId, 0},
        {"kernel32.dll", "GetCurrentProcessId", &GetCurrentProcessId, 0},
        {"kernel32.dll", "GetLastError", &GetLastError, 0},
        {"kernel32.dll", "SetLastError", &SetLastError, 4},
        {"kernel32.dll", "CreateFileW", &CreateFileW, 28},
        {"kernel32.dll", "WriteFile", &WriteFile, 20},
        {"kernel32.dll", "MoveFileExW", &MoveFileExW, 12},
        {"kernel32.dll", "GetEnvironmentVariableW", &GetEnvironmentVariableW, 12},
        {"kernel32.dll", "GetTempPathW", &GetTempPathW, 8},
        {"kernel32.dll", "GetSystemTimePreciseAsFileTime", &GetSystemTimePreciseAsFileTime, 4},
        {"kernel32.dll", "WideCharToMultiByte", &WideCharToMultiByte, 32},
        {"kernel32.dll", "GetStdHandle", &GetStdHandle, 4},
        {"kernel32.dll", "GetFileType", &GetFileType, 4},
        {"kernel32.dll", "WriteConsoleW", &WriteConsoleW, 20},
        {"kernel32.dll", "OutputDebugStringW", &OutputDebugStringW, 4},
        {"kernel32.dll", "SetFilePointerEx", &SetFilePointerEx, 20},
        {"msvcrt.dll", "malloc", &malloc_, 0},
        {"msvcrt.dll", "calloc", &calloc_, 0},
        {"msvcrt.dll", "free", &free_, 0},
        {"msvcrt.dll", "memcpy", &memcpy_, 0},
        {"msvcrt.dll", "memset", &memset_, 0},
        {"msvcrt.dll", "strlen", &strlen_, 0},
    };
}

void ResetSystemState() {
    for (auto &[handle, fd] : state.files) {
        close(fd);
    }
    state = SystemState{};
}

int CloseBedHandle(void *handle) {
    const auto value = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
    auto file = state.files.find(value);
    if ((value & kTagMask) != kFileTag || file == state.files.end()) {
        return static_cast<int>(Fail(6)); // ERROR_INVALID_HANDLE
    }
    close(file->second);
    state.files.erase(file);
    return 1;
}

const std::vector<std::string> &DebugOutput() {
    return state.debugOutput;
}

std::size_t HeapBlocksInUse() {
    return HeapBlocks();
}

} // namespace x86
