// The platform seam: everything the library core needs from the operating
// system, called by its own Win32 name. The core includes this header and no
// platform header. The calls, the DLL of each and their types are listed
// once, in win32_calls.h; every binding takes its list from that table:
//   - the shipping DLL (ZQLUSB_REAL_WIN32) binds them to the real SetupAPI,
//     kernel32 and user32, whose declarations are checked against the table
//     at compile time here;
//   - every other build declares the same names, types and constants here, in
//     namespace zqlwin, from the table. The calls that reach the instrument or
//     the user are implemented by
//       - the virtual instrument's stand-in (virtual_instrument/standin.cpp),
//         ABI-compatible with the real calls so that the Wine test bed
//         (tests/support/library_win32.cpp) can patch the shipping DLL's
//         imports to it: the native library, the virtual-instrument DLLs and
//         the Wine test suites;
//       - the benchmark's zero-cost link (bench/zero_cost_link.cpp);
//     the export lock's calls are kernel32's in every Windows build and
//     inline functions here natively;
//   - tools/check-dll reads the table for the imports the shipping DLL may
//     have and the virtual-instrument DLL must not;
//   - the trace builds (the trace DLL, the native trace library, the trace
//     benchmark) compile the core with ZQLUSB_RECORDED_CORE: each patched
//     call then goes to ZqlRecord<name> of the recording binding
//     (src/trace/recording_binding.cpp), which records it around the call of
//     the binding beneath (the real one in the trace DLL, so that the Wine
//     test bed's patched imports are recorded too).
#pragma once

// The recording binding's calls, declared from the table with the types of
// the binding beneath it.
#define ZQLUSB_WIN32_DECLARE_RECORDING(dll, result, name, parameters) result WINAPI ZqlRecord##name parameters;

#if defined(ZQLUSB_REAL_WIN32)

#include <windows.h>
// windows.h first: setupapi.h needs its types.
#include <setupapi.h>

// What GetCurrentThreadId returns: the export lock's owner.
typedef DWORD THREAD_ID;

#include "link/win32_calls.h"

ZQLUSB_WIN32_PATCHED_CALLS(ZQLUSB_WIN32_CHECK_TYPE)
ZQLUSB_WIN32_LOCK_CALLS(ZQLUSB_WIN32_CHECK_TYPE)

ZQLUSB_WIN32_PATCHED_CALLS(ZQLUSB_WIN32_DECLARE_RECORDING)

#else

#include <cstdint>

#include "link/win32_calls.h"

#if !defined(_WIN32)
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define WINAPI __attribute__((stdcall))
#else
#define WINAPI
#endif

namespace zqlwin {

typedef void *HANDLE;
typedef void *HDEVINFO;
typedef void *HWND;
typedef void *LPVOID;
typedef const char *LPCSTR;
typedef int BOOL;
typedef std::uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef DWORD *PDWORD;

// What GetCurrentThreadId returns: the export lock's owner. kernel32's id in
// every Windows build; natively the POSIX id, as wide as a pointer.
#if defined(_WIN32)
typedef DWORD THREAD_ID;
#else
typedef std::uintptr_t THREAD_ID;
#endif

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;
struct SP_DEVINFO_DATA;
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
typedef OVERLAPPED *LPOVERLAPPED;
typedef SP_DEVINFO_DATA *PSP_DEVINFO_DATA;

// SetupAPI's records as 32-bit Windows lays them out: in the 32-bit DLLs,
// and in the stand-in of the x86 test bed (ZQLUSB_X86_RECORDS), which serves
// the shipping 32-bit DLL run in an emulated processor.
#if (defined(_WIN32) && !defined(_WIN64)) || defined(ZQLUSB_X86_RECORDS)
#define ZQLUSB_WIN32_X86_RECORDS 1
#else
#define ZQLUSB_WIN32_X86_RECORDS 0
#endif

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
#if ZQLUSB_WIN32_X86_RECORDS
    std::uint32_t Reserved; // a ULONG_PTR, 32 bits wide there
#else
    std::uintptr_t Reserved;
#endif
};
typedef SP_DEVICE_INTERFACE_DATA *PSP_DEVICE_INTERFACE_DATA;

// SetupAPI packs its records to one byte on 32-bit Windows: the detail
// record is then 5 bytes, elsewhere 8.
#if ZQLUSB_WIN32_X86_RECORDS
#pragma pack(push, 1)
#endif
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    char DevicePath[1];
};
#if ZQLUSB_WIN32_X86_RECORDS
#pragma pack(pop)
#endif
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
constexpr DWORD DIGCF_PRESENT = 0x02;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr unsigned MB_RETRYCANCEL = 0x5;
constexpr int IDCANCEL = 2;
constexpr int IDRETRY = 4;

#define ZQLUSB_WIN32_DECLARE(dll, result, name, parameters) result WINAPI name parameters;
ZQLUSB_WIN32_PATCHED_CALLS(ZQLUSB_WIN32_DECLARE)
#undef ZQLUSB_WIN32_DECLARE

// The export lock and the caller's thread id, which makes it re-entrant. In
// every Windows build the lock is kernel32's slim reader/writer lock, which
// needs no work at load, and the id kernel32's; elsewhere a futex lock word
// that needs none either, and the thread's POSIX id.
#if defined(_WIN32)
struct SRWLOCK {
    void *Ptr;
};
#define SRWLOCK_INIT                                                                                                   \
    { nullptr }
#define ZQLUSB_WIN32_IMPORT(dll, result, name, parameters)                                                             \
    extern "C" __declspec(dllimport) result WINAPI name parameters;
ZQLUSB_WIN32_LOCK_CALLS(ZQLUSB_WIN32_IMPORT)
#undef ZQLUSB_WIN32_IMPORT
#else
// A lock word as small as kernel32's: 0 free, 1 held, 2 held with threads
// asleep on it (a futex). Taking a free lock and releasing one that nobody
// waits for cost one atomic operation each, about half the C library's mutex,
// which the export lock pays on every call.
struct SRWLOCK {
    int state;
};
#define SRWLOCK_INIT                                                                                                   \
    { 0 }
inline void AcquireSRWLockExclusive(SRWLOCK *SRWLock) {
    int expected = 0;
    if (__atomic_compare_exchange_n(&SRWLock->state, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
        return;
    }
    // Contended: mark the word as waited on and sleep until a release finds
    // it free again. Marking it 2 even when this thread then gets it only
    // costs the next release one needless wake-up.
    while (__atomic_exchange_n(&SRWLock->state, 2, __ATOMIC_ACQUIRE) != 0) {
        syscall(SYS_futex, &SRWLock->state, FUTEX_WAIT_PRIVATE, 2, nullptr, nullptr, 0);
    }
}
inline void ReleaseSRWLockExclusive(SRWLOCK *SRWLock) {
    if (__atomic_exchange_n(&SRWLock->state, 0, __ATOMIC_RELEASE) == 2) {
        syscall(SYS_futex, &SRWLock->state, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
}
// The calling thread's id: its descriptor's address, never 0 and never that
// of another running thread, read from a register without a system call.
inline THREAD_ID GetCurrentThreadId() {
    return static_cast<THREAD_ID>(pthread_self());
}
ZQLUSB_WIN32_LOCK_CALLS(ZQLUSB_WIN32_CHECK_TYPE)
#endif

ZQLUSB_WIN32_PATCHED_CALLS(ZQLUSB_WIN32_DECLARE_RECORDING)

} // namespace zqlwin

#endif

#if defined(ZQLUSB_RECORDED_CORE)
// The core's patched calls, by their own names, reach the recording binding.
// One line per call of ZQLUSB_WIN32_PATCHED_CALLS; the check below fails the
// build when the table has a call this list does not rename.
#define SetupDiGetClassDevsA ZqlRecordSetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces ZqlRecordSetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailA ZqlRecordSetupDiGetDeviceInterfaceDetailA
#define SetupDiDestroyDeviceInfoList ZqlRecordSetupDiDestroyDeviceInfoList
#define CreateFileA ZqlRecordCreateFileA
#define DeviceIoControl ZqlRecordDeviceIoControl
#define CloseHandle ZqlRecordCloseHandle
#define MessageBoxA ZqlRecordMessageBoxA
#define ZQLUSB_WIN32_TEXT(x) #x
#define ZQLUSB_WIN32_EXPANDED_TEXT(x) ZQLUSB_WIN32_TEXT(x)
#define ZQLUSB_WIN32_CHECK_RECORDED(dll, result, name, parameters)                                                     \
    static_assert(sizeof(ZQLUSB_WIN32_EXPANDED_TEXT(name)) == sizeof("ZqlRecord" #name),                               \
                  #name " does not reach the recording binding");
ZQLUSB_WIN32_PATCHED_CALLS(ZQLUSB_WIN32_CHECK_RECORDED)
#endif
