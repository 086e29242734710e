// The platform seam's table: every Win32 call the library makes, with the
// DLL that exports it, its result and its parameters. Each binding of the
// seam takes its list from here:
//   - src/link/win32_seam.h declares the calls in every build but the
//     shipping DLL, and in the shipping DLL checks at compile time that the
//     real SetupAPI, kernel32 and user32 declarations have these types;
//   - virtual_instrument/standin.cpp implements the patched calls over the
//     virtual instrument and lists them, from this table, for the Wine test
//     bed (tests/support/library_win32.cpp), which patches exactly those
//     imports of the shipping DLL;
//   - bench/zero_cost_link.cpp implements the patched calls over a link that
//     costs nothing;
//   - src/trace/recording_binding.cpp implements ZqlRecord<name> for each
//     patched call: it records the call around the binding beneath (the
//     trace builds, see win32_seam.h);
//   - tools/check-dll reads this file for the calls the shipping DLL may
//     import and the virtual-instrument DLL must not.
// The types are those of win32_seam.h: the real ones in the shipping DLL,
// namespace zqlwin's elsewhere. One entry a line,
// X(dll, result, name, (parameters)): check-dll reads the lines that way.
#pragma once

#include <type_traits>

// clang-format off

// The calls that reach the instrument or the user. The Wine test bed patches
// the shipping DLL's imports of these to the stand-in.
#define ZQLUSB_WIN32_PATCHED_CALLS(X) \
    X(setupapi, HDEVINFO, SetupDiGetClassDevsA, (const GUID *, LPCSTR, HWND, DWORD)) \
    X(setupapi, BOOL, SetupDiEnumDeviceInterfaces, (HDEVINFO, PSP_DEVINFO_DATA, const GUID *, DWORD, \
                                                    PSP_DEVICE_INTERFACE_DATA)) \
    X(setupapi, BOOL, SetupDiGetDeviceInterfaceDetailA, (HDEVINFO, PSP_DEVICE_INTERFACE_DATA, \
                                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD, \
                                                         PSP_DEVINFO_DATA)) \
    X(setupapi, BOOL, SetupDiDestroyDeviceInfoList, (HDEVINFO)) \
    X(kernel32, HANDLE, CreateFileA, (LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)) \
    X(kernel32, BOOL, DeviceIoControl, (HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED)) \
    X(kernel32, BOOL, CloseHandle, (HANDLE)) \
    X(user32, int, MessageBoxA, (HWND, LPCSTR, LPCSTR, unsigned))

// The calls of the export lock: kernel32's own in every Windows build and
// never patched; natively, inline functions of win32_seam.h. THREAD_ID is
// kernel32's DWORD on Windows and the POSIX thread id's width natively.
#define ZQLUSB_WIN32_LOCK_CALLS(X) \
    X(kernel32, void, AcquireSRWLockExclusive, (SRWLOCK *)) \
    X(kernel32, void, ReleaseSRWLockExclusive, (SRWLOCK *)) \
    X(kernel32, THREAD_ID, GetCurrentThreadId, (void))

// clang-format on

// Fails the build when the function `name`, as seen where this is expanded,
// does not have the table's type, calling convention included.
#define ZQLUSB_WIN32_CHECK_TYPE(dll, result, name, parameters)                                                         \
    static_assert(std::is_same_v<decltype(&name), result(WINAPI *) parameters>,                                        \
                  #name " differs from its entry in the seam's table");
