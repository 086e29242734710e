// kernel32's file calls for the trace DLL, over the host's files: create
// and open with Windows' sharing as advisory locks, write, seek and rename,
// the standard handles and the console, and OutputDebugString's record.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "x86/system_state.h"

namespace x86 {

namespace {

constexpr std::uint32_t kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u;
constexpr std::uint32_t kFileShareWrite = 0x2;
constexpr std::uint32_t kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4, kTruncateExisting = 5;
constexpr std::uint32_t kMoveFileReplaceExisting = 0x1;
constexpr std::uint32_t kInvalidHandle = 0xFFFFFFFFu;
// The bed's file handles, told apart from the stand-in's by this tag.
constexpr std::uint32_t kFileTag = 0x0B000000, kTagMask = 0xFF000000;

// The standard handles: STD_INPUT_HANDLE, STD_OUTPUT_HANDLE and
// STD_ERROR_HANDLE as GetStdHandle takes them, and the handles it gives.
constexpr std::uint32_t kStdHandleFirst = static_cast<std::uint32_t>(-12),
                        kStdHandleLast = static_cast<std::uint32_t>(-10);
constexpr std::uint32_t kStdTag = 0x0C000000;
constexpr std::uint32_t kFileTypeDisk = 1, kFileTypeChar = 2, kFileTypePipe = 3;
constexpr std::uint32_t kFileBegin = 0, kFileCurrent = 1, kFileEnd = 2;

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

} // namespace

std::vector<HostImport> FileImports() {
    return {
        {"kernel32.dll", "CreateFileW", &CreateFileW, 28},
        {"kernel32.dll", "WriteFile", &WriteFile, 20},
        {"kernel32.dll", "MoveFileExW", &MoveFileExW, 12},
        {"kernel32.dll", "GetStdHandle", &GetStdHandle, 4},
        {"kernel32.dll", "GetFileType", &GetFileType, 4},
        {"kernel32.dll", "WriteConsoleW", &WriteConsoleW, 20},
        {"kernel32.dll", "OutputDebugStringW", &OutputDebugStringW, 4},
        {"kernel32.dll", "SetFilePointerEx", &SetFilePointerEx, 20},
    };
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

} // namespace x86
