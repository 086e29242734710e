// The seam's patched calls (src/link/win32_calls.h) over a link that accepts
// everything and costs nothing but the read's copy.
#include "bench/zero_cost_link.h"

#include <cstring>

#include "link/control_requests.h"
#include "link/win32_seam.h"

namespace bench {
namespace {

const std::uint8_t *currentReply = nullptr;

// Any value that is neither null nor INVALID_HANDLE_VALUE.
void *const kHandle = reinterpret_cast<void *>(static_cast<std::uintptr_t>(0x1000));

} // namespace

void AnswerReadsWith(const std::uint8_t *reply) {
    currentReply = reply;
}

} // namespace bench

namespace zqlwin {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *, LPCSTR, HWND, DWORD) {
    return bench::kHandle;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID *, DWORD, PSP_DEVICE_INTERFACE_DATA) {
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD,
                                             PDWORD RequiredSize, PSP_DEVINFO_DATA) {
    if (RequiredSize != nullptr) {
        *RequiredSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    }
    if (DeviceInterfaceDetailData == nullptr) {
        return FALSE;
    }
    DeviceInterfaceDetailData->DevicePath[0] = '\0';
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO) {
    return TRUE;
}

HANDLE WINAPI CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return bench::kHandle;
}

BOOL WINAPI DeviceIoControl(HANDLE, DWORD dwIoControlCode, LPVOID, DWORD, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED) {
    DWORD delivered = 0;
    if (dwIoControlCode == zqlusb::IOCTL_SCOPE_READ && bench::currentReply != nullptr) {
        delivered = nOutBufferSize < bench::kReplySize ? nOutBufferSize : bench::kReplySize;
        std::memcpy(lpOutBuffer, bench::currentReply, delivered);
    }
    *lpBytesReturned = delivered;
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE) {
    return TRUE;
}

int WINAPI MessageBoxA(HWND, LPCSTR, LPCSTR, unsigned) {
    return IDCANCEL;
}

ZQLUSB_WIN32_PATCHED_CALLS(ZQLUSB_WIN32_CHECK_TYPE)

} // namespace zqlwin
