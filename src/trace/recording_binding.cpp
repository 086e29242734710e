// The recording binding of the platform seam: each patched call of the
// table (link/win32_calls.h), made by the core compiled with
// ZQLUSB_RECORDED_CORE, is made on the binding beneath (the real SetupAPI,
// kernel32 and user32 in the trace DLL, whose imports the Wine test bed may
// patch; the stand-in or the benchmark's zero-cost link natively) and
// recorded as one kPlatformCall record when it returns.
#include "link/win32_seam.h"
#include "trace/session.h"

#if !defined(ZQLUSB_REAL_WIN32)
namespace zqlwin {
#endif

namespace {

using namespace zqltrace;

std::uint64_t Value(const void *pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}
std::uint32_t Word32(const void *handle) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle));
}

// The thread's last error right after a platform call; natively there is none.
#if defined(ZQLUSB_REAL_WIN32)
typedef DWORD ErrorValue;
ErrorValue LastError() {
    return GetLastError();
}
void RecordLastError(ErrorValue error) {
    Word(kLastError, error);
}
#else
typedef int ErrorValue;
ErrorValue LastError() {
    return 0;
}
void RecordLastError(ErrorValue) {}
#endif

void BeginPlatform(PlatformCall call) {
    Begin(kPlatformCall, call, CurrentDepth());
}

void TextIfAny(const char *text) {
    if (text != nullptr) {
        Text(text);
    }
}

} // namespace

HDEVINFO WINAPI ZqlRecordSetupDiGetClassDevsA(const GUID *ClassGuid, LPCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    HDEVINFO set = SetupDiGetClassDevsA(ClassGuid, Enumerator, hwndParent, Flags);
    const ErrorValue error = LastError();
    if (Recording()) {
        BeginPlatform(kSetupDiGetClassDevsA);
        const std::uint64_t arguments[] = {Value(ClassGuid), Value(Enumerator), Value(hwndParent), Flags};
        Arguments(arguments, 4);
        if (ClassGuid != nullptr) {
            Bytes(kBytesRead, ClassGuid, sizeof *ClassGuid);
        }
        TextIfAny(Enumerator);
        RecordLastError(error);
        End(Word32(set));
    }
    return set;
}

BOOL WINAPI ZqlRecordSetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    BOOL ok = SetupDiEnumDeviceInterfaces(DeviceInfoSet, DeviceInfoData, InterfaceClassGuid, MemberIndex,
                                          DeviceInterfaceData);
    const ErrorValue error = LastError();
    if (Recording()) {
        BeginPlatform(kSetupDiEnumDeviceInterfaces);
        const std::uint64_t arguments[] = {Value(DeviceInfoSet), Value(DeviceInfoData), Value(InterfaceClassGuid),
                                           MemberIndex, Value(DeviceInterfaceData)};
        Arguments(arguments, 5);
        if (InterfaceClassGuid != nullptr) {
            Bytes(kBytesRead, InterfaceClassGuid, sizeof *InterfaceClassGuid);
        }
        if (ok && DeviceInterfaceData != nullptr) {
            Changed(0, DeviceInterfaceData, sizeof *DeviceInterfaceData);
        }
        RecordLastError(error);
        End(static_cast<std::uint32_t>(ok));
    }
    return ok;
}

BOOL WINAPI ZqlRecordSetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                      PSP_DEVINFO_DATA DeviceInfoData) {
    BOOL ok = SetupDiGetDeviceInterfaceDetailA(DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData,
                                               DeviceInterfaceDetailDataSize, RequiredSize, DeviceInfoData);
    const ErrorValue error = LastError();
    if (Recording()) {
        BeginPlatform(kSetupDiGetDeviceInterfaceDetailA);
        const std::uint64_t arguments[] = {
            Value(DeviceInfoSet),          Value(DeviceInterfaceData), Value(DeviceInterfaceDetailData),
            DeviceInterfaceDetailDataSize, Value(RequiredSize),        Value(DeviceInfoData)};
        Arguments(arguments, 6);
        if (ok && DeviceInterfaceDetailData != nullptr) {
            Changed(0, DeviceInterfaceDetailData, DeviceInterfaceDetailDataSize);
        }
        if (RequiredSize != nullptr) {
            Word(kReturnedLength, *RequiredSize); // the size the detail needs
        }
        RecordLastError(error);
        End(static_cast<std::uint32_t>(ok));
    }
    return ok;
}

BOOL WINAPI ZqlRecordSetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    BOOL ok = SetupDiDestroyDeviceInfoList(DeviceInfoSet);
    const ErrorValue error = LastError();
    if (Recording()) {
        BeginPlatform(kSetupDiDestroyDeviceInfoList);
        const std::uint64_t arguments[] = {Value(DeviceInfoSet)};
        Arguments(arguments, 1);
        RecordLastError(error);
        End(static_cast<std::uint32_t>(ok));
    }
    return ok;
}

HANDLE WINAPI ZqlRecordCreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    HANDLE handle = CreateFileA(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                                dwFlagsAndAttributes, hTemplateFile);
    const ErrorValue error = LastError();
    if (Recording()) {
        BeginPlatform(kCreateFileA);
        const std::uint64_t arguments[] = {Value(lpFileName),           dwDesiredAccess,       dwShareMode,
                                           Value(lpSecurityAttributes), dwCreationDisposition, dwFlagsAndAttributes,
                                           Value(hTemplateFile)};
        Arguments(arguments, 7);
        TextIfAny(lpFileName);
        RecordLastError(error);
        End(Word32(handle));
    }
    return handle;
}

// The input bytes are taken before the call: the library's read transfers
// hand the driver one buffer for both directions.
BOOL WINAPI ZqlRecordDeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                     LPOVERLAPPED lpOverlapped) {
    const bool recording = Recording();
    if (recording) {
        BeginPlatform(kDeviceIoControl);
        const std::uint64_t arguments[] = {Value(hDevice), dwIoControlCode, nInBufferSize, nOutBufferSize};
        Arguments(arguments, 4);
        if (lpInBuffer != nullptr && nInBufferSize != 0) {
            Bytes(kBytesRead, lpInBuffer, nInBufferSize);
        }
    }
    BOOL ok = DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                              lpBytesReturned, lpOverlapped);
    const ErrorValue error = LastError();
    if (recording) {
        if (lpBytesReturned != nullptr) {
            // A driver may state more than the buffer holds: only the buffer is read.
            const DWORD returned = *lpBytesReturned;
            if (ok && lpOutBuffer != nullptr && returned != 0) {
                Changed(0, lpOutBuffer, returned < nOutBufferSize ? returned : nOutBufferSize);
            }
            Word(kReturnedLength, returned);
        }
        RecordLastError(error);
        End(static_cast<std::uint32_t>(ok));
    }
    return ok;
}

BOOL WINAPI ZqlRecordCloseHandle(HANDLE hObject) {
    BOOL ok = CloseHandle(hObject);
    const ErrorValue error = LastError();
    if (Recording()) {
        BeginPlatform(kCloseHandle);
        const std::uint64_t arguments[] = {Value(hObject)};
        Arguments(arguments, 1);
        RecordLastError(error);
        End(static_cast<std::uint32_t>(ok));
    }
    return ok;
}

// Composed after the dialog closed: calls made from its message loop have
// written their own records meanwhile.
int WINAPI ZqlRecordMessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, unsigned uType) {
    int answer = MessageBoxA(hWnd, lpText, lpCaption, uType);
    const ErrorValue error = LastError();
    if (Recording()) {
        BeginPlatform(kMessageBoxA);
        const std::uint64_t arguments[] = {Value(hWnd), Value(lpText), Value(lpCaption), uType};
        Arguments(arguments, 4);
        Text(lpText != nullptr ? lpText : "");
        Text(lpCaption != nullptr ? lpCaption : "");
        RecordLastError(error);
        End(static_cast<std::uint32_t>(answer));
    }
    return answer;
}

#define ZQLUSB_WIN32_CHECK_RECORDING(dll, result, name, parameters)                                                    \
    static_assert(std::is_same_v<decltype(&ZqlRecord##name), result(WINAPI *) parameters>,                             \
                  "ZqlRecord" #name " differs from its entry in the seam's table");
ZQLUSB_WIN32_PATCHED_CALLS(ZQLUSB_WIN32_CHECK_RECORDING)

#if !defined(ZQLUSB_REAL_WIN32)
} // namespace zqlwin
#endif
