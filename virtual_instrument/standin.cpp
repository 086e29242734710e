// The seam's patched calls (src/link/win32_calls.h): SetupAPI, CreateFileA,
// DeviceIoControl, CloseHandle and MessageBoxA over
// the virtual instrument. Each checks the arguments as Windows would and
// fails a call made with wrong ones, logging why.
#include "virtual_instrument/standin.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "link/control_requests.h"
#include "link/win32_seam.h"
#include "virtual_instrument/instrument.h"
#include "virtual_instrument/replay.h"

namespace zqlwin {

// The record sizes Windows checks: SetupAPI packs to one byte on 32-bit.
#if ZQLUSB_WIN32_X86_RECORDS
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28 && sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5);
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32 && sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);
#endif

namespace {

const GUID kInterfaceClass = {0xD0F40DFC, 0xED5C, 0x4080, {0xBA, 0x0C, 0xDD, 0x1B, 0xAA, 0x4E, 0x8F, 0x2A}};

// Handle values the stand-in issues, recognisable by their tag.
constexpr std::uintptr_t kDeviceTag = 0x5A000000;
constexpr std::uintptr_t kInfoSetTag = 0x7E000000;
constexpr std::uintptr_t kTagMask = 0xFF000000;

using ForeignCloser = BOOL(WINAPI *)(HANDLE);
ForeignCloser foreignCloseHandle = nullptr;

// A dialog's text on one line, for the echo of a scripted instrument.
std::string OneLine(std::string text) {
    for (char &c : text) {
        c = c == '\n' ? ' ' : c;
    }
    return text;
}

bool CallError(const std::string &what) {
    vi::Device().errors.calls.push_back(what);
    return false;
}

bool SameGuid(const GUID *a) {
    return a != nullptr && std::memcmp(a, &kInterfaceClass, sizeof(GUID)) == 0;
}

bool LiveSet(HDEVINFO set) {
    return vi::Device().liveInfoSets.count(reinterpret_cast<std::uintptr_t>(set)) != 0;
}

std::uintptr_t NewValue(std::uintptr_t tag) {
    return tag | vi::Device().nextHandleValue++;
}

std::uint32_t RequiredDetailSize() {
    return static_cast<std::uint32_t>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                      std::strlen(vi::kDevicePath) + 1);
}

// Whether a handle is open on the instrument as it is attached now.
bool DeviceAlive(HANDLE handle) {
    vi::Instrument &device = vi::Device();
    auto it = device.openHandles.find(reinterpret_cast<std::uintptr_t>(handle));
    return it != device.openHandles.end() && device.attached && it->second == device.attachGeneration;
}

} // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID *ClassGuid, LPCSTR Enumerator, HWND hwndParent, DWORD Flags) {
    if (!SameGuid(ClassGuid) || Enumerator != nullptr || hwndParent != nullptr ||
        Flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        CallError("SetupDiGetClassDevsA: wrong class, enumerator, window or flags");
        return INVALID_HANDLE_VALUE;
    }
    if (vi::Device().faults.failInfoSets > 0) {
        --vi::Device().faults.failInfoSets; // SetupAPI out of resources, say
        return INVALID_HANDLE_VALUE;
    }
    std::uintptr_t value = NewValue(kInfoSetTag);
    vi::Device().liveInfoSets.insert(value);
    return reinterpret_cast<HDEVINFO>(value);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    if (DeviceInterfaceData != nullptr) {
        vi::Device().interfaceSizeField = DeviceInterfaceData->cbSize;
    }
    if (!LiveSet(DeviceInfoSet) || DeviceInfoData != nullptr || !SameGuid(InterfaceClassGuid) ||
        DeviceInterfaceData == nullptr) {
        return CallError("SetupDiEnumDeviceInterfaces: wrong set, filter, class or record");
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        return CallError("SetupDiEnumDeviceInterfaces: interface record size field " +
                         std::to_string(DeviceInterfaceData->cbSize) + ", not " +
                         std::to_string(sizeof(SP_DEVICE_INTERFACE_DATA)));
    }
    if (MemberIndex != 0 || !vi::Device().attached) {
        return FALSE; // no more items
    }
    if (vi::Device().replay && !vi::Device().replay->NextEnumerationFinds()) {
        return FALSE; // as in the recorded session: no instrument listed
    }
    DeviceInterfaceData->InterfaceClassGuid = kInterfaceClass;
    DeviceInterfaceData->Flags = 1; // SPINT_ACTIVE
    DeviceInterfaceData->Reserved = 0x1F00;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    if (!LiveSet(DeviceInfoSet) || DeviceInterfaceData == nullptr || DeviceInterfaceData->Reserved != 0x1F00 ||
        DeviceInfoData != nullptr) {
        return CallError("SetupDiGetDeviceInterfaceDetailA: wrong set or interface record");
    }
    const std::uint32_t required = RequiredDetailSize();
    if (RequiredSize != nullptr) {
        *RequiredSize = required;
    }
    if (DeviceInterfaceDetailData == nullptr) {
        return DeviceInterfaceDetailDataSize == 0 ? FALSE // insufficient buffer, size reported
                                                  : CallError("SetupDiGetDeviceInterfaceDetailA: size without record");
    }
    vi::Device().detailSizeField = DeviceInterfaceDetailData->cbSize;
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        return CallError("SetupDiGetDeviceInterfaceDetailA: detail record size field " +
                         std::to_string(DeviceInterfaceDetailData->cbSize));
    }
    if (vi::Device().faults.failDetails > 0) {
        --vi::Device().faults.failDetails; // the interface went away between the two queries, say
        return FALSE;
    }
    if (DeviceInterfaceDetailDataSize < required) {
        return FALSE; // insufficient buffer
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, vi::kDevicePath, std::strlen(vi::kDevicePath) + 1);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    if (vi::Device().liveInfoSets.erase(reinterpret_cast<std::uintptr_t>(DeviceInfoSet)) == 0) {
        return CallError("SetupDiDestroyDeviceInfoList: not a live device information set");
    }
    vi::Device().AfterDriverCall(false); // the end of an open attempt
    return TRUE;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (dwDesiredAccess != (GENERIC_READ | GENERIC_WRITE) || dwShareMode != (FILE_SHARE_READ | FILE_SHARE_WRITE) ||
        lpSecurityAttributes != nullptr || dwCreationDisposition != OPEN_EXISTING || dwFlagsAndAttributes != 0 ||
        hTemplateFile != nullptr) {
        CallError("CreateFileA: wrong access, sharing, disposition, flags or template");
        return INVALID_HANDLE_VALUE;
    }
    vi::Instrument &device = vi::Device();
    if (lpFileName == nullptr || std::strcmp(lpFileName, vi::kDevicePath) != 0 || !device.attached) {
        return INVALID_HANDLE_VALUE; // file not found
    }
    if (device.replay && !device.replay->NextOpenSucceeds()) {
        return INVALID_HANDLE_VALUE; // as the recorded open
    }
    if (device.faults.failOpens > 0) {
        --device.faults.failOpens;
        return INVALID_HANDLE_VALUE;
    }
    std::uintptr_t value = NewValue(kDeviceTag);
    device.openHandles[value] = device.attachGeneration;
    return reinterpret_cast<HANDLE>(value);
}

namespace {

BOOL Control(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
             DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    using namespace zqlusb;
    if (lpOverlapped != nullptr || lpBytesReturned == nullptr) {
        return CallError("DeviceIoControl: overlapped or no returned count");
    }
    *lpBytesReturned = 0;
    vi::Instrument &device = vi::Device();
    const bool alive = DeviceAlive(hDevice);
    auto *in = static_cast<std::uint8_t *>(lpInBuffer);
    if (device.replay) {
        std::uint32_t count = 0;
        const bool ok = vi::ReplayTransfer(device, dwIoControlCode, in, nInBufferSize,
                                           static_cast<std::uint8_t *>(lpOutBuffer), nOutBufferSize, &count);
        *lpBytesReturned = count;
        return ok;
    }
    switch (dwIoControlCode) {
    case IOCTL_SCOPE_WRITE_STREAM:
        if (in == nullptr || lpOutBuffer != lpInBuffer || nOutBufferSize != 0) {
            return CallError("write stream: wrong buffers");
        }
        return alive ? device.WriteStream(in, nInBufferSize) : device.Refuse(dwIoControlCode, in, nInBufferSize, 0);
    case IOCTL_SCOPE_WRITE_RAW:
        if ((in == nullptr && nInBufferSize != 0) || lpOutBuffer != lpInBuffer || nOutBufferSize != nInBufferSize) {
            return CallError("write raw: wrong buffers");
        }
        return alive ? device.WriteRaw(in, nInBufferSize)
                     : device.Refuse(dwIoControlCode, in, nInBufferSize, nOutBufferSize);
    case IOCTL_SCOPE_READ:
        if ((in == nullptr && nInBufferSize != 0) || lpOutBuffer != lpInBuffer || nOutBufferSize != nInBufferSize) {
            return CallError("read: wrong buffers");
        }
        return alive ? device.Read(in, nInBufferSize, lpBytesReturned)
                     : device.Refuse(dwIoControlCode, nullptr, nInBufferSize, nOutBufferSize);
    case IOCTL_SCOPE_READY:
        if (in != nullptr || nInBufferSize != 0 || lpOutBuffer != nullptr || nOutBufferSize != 0) {
            return CallError("ready: buffers given");
        }
        return alive ? device.Ready() : device.Refuse(dwIoControlCode, nullptr, 0, 0);
    default:
        return CallError("DeviceIoControl: unknown control code");
    }
}

const char *AnswerName(int answer) {
    return answer == IDRETRY ? "Retry" : answer == IDCANCEL ? "Cancel" : "another answer";
}

} // namespace

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    const BOOL ok = Control(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                            lpBytesReturned, lpOverlapped);
    vi::Device().AfterDriverCall(true);
    return ok;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    auto value = reinterpret_cast<std::uintptr_t>(hObject);
    if ((value & kTagMask) == kDeviceTag) {
        if (vi::Device().openHandles.erase(value) == 0) {
            return CallError("CloseHandle: handle closed twice or never opened");
        }
        return TRUE;
    }
    if (foreignCloseHandle != nullptr) {
        return foreignCloseHandle(hObject);
    }
    return CallError("CloseHandle: not a handle of the instrument");
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, unsigned uType) {
    vi::Instrument &device = vi::Device();
    vi::Dialog dialog{hWnd, lpCaption ? lpCaption : "", lpText ? lpText : "", uType, IDCANCEL};
    if (device.whileDialogShown) {
        device.whileDialogShown(device);
    }
    if (!device.dialogAnswers.empty()) {
        dialog.answer = device.dialogAnswers.front();
        device.dialogAnswers.pop_front();
    }
    if (device.replay) {
        dialog.answer = device.replay->NextDialogAnswer().value_or(dialog.answer);
    }
    if (device.echoDialogs) {
        std::fprintf(stderr, "zqlusb virtual instrument: dialog \"%s\": %s -> %s\n", dialog.caption.c_str(),
                     OneLine(dialog.text).c_str(), AnswerName(dialog.answer));
    }
    device.dialogs.push_back(dialog);
    return dialog.answer;
}

ZQLUSB_WIN32_PATCHED_CALLS(ZQLUSB_WIN32_CHECK_TYPE)

} // namespace zqlwin

namespace vi {

void SetForeignCloseHandle(void *realCloseHandle) {
    zqlwin::foreignCloseHandle = reinterpret_cast<zqlwin::ForeignCloser>(realCloseHandle);
}

// The Wine test bed's patch list: every patched call of the seam's table.
#define ZQL_STANDIN(dll, result, name, parameters) {#dll ".dll", #name, reinterpret_cast<void *>(&zqlwin::name)},
const StandIn kStandIns[] = {ZQLUSB_WIN32_PATCHED_CALLS(ZQL_STANDIN)};
#undef ZQL_STANDIN
const int kStandInCount = sizeof kStandIns / sizeof kStandIns[0];

} // namespace vi
