// kernel32's lock, thread and error calls for the x86 DLL: the export lock
// as an SRW lock (taking it again while held is a fault, since it would wait
// for ever), the thread and process ids, and the last error.
#include <sys/syscall.h>
#include <unistd.h>

#include "x86/system_state.h"

namespace x86 {

namespace {

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

} // namespace

std::vector<HostImport> ThreadImports() {
    return {
        {"kernel32.dll", "AcquireSRWLockExclusive", &AcquireSRWLockExclusive, 4},
        {"kernel32.dll", "TryAcquireSRWLockExclusive", &TryAcquireSRWLockExclusive, 4},
        {"kernel32.dll", "ReleaseSRWLockExclusive", &ReleaseSRWLockExclusive, 4},
        {"kernel32.dll", "GetCurrentThreadId", &GetCurrentThreadId, 0},
        {"kernel32.dll", "GetCurrentProcessId", &GetCurrentProcessId, 0},
        {"kernel32.dll", "GetLastError", &GetLastError, 0},
        {"kernel32.dll", "SetLastError", &SetLastError, 4},
    };
}

} // namespace x86
