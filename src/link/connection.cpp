// Finding, opening and probing the instrument.
#include "link/connection.h"

#include <cstdlib>
#include <cstring>

#include "link/control_requests.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {

HANDLE DeviceHandle = nullptr;
int ReinitFailed = 0;
int ReTry = 0;
int OpenWindow = 0;
int ReadMissed = 0;
int WriteGivenUp = 0;

namespace {

// The device interface class that the instrument's driver registers.
const GUID GUID_CLASS_I82930_BULK = {0xD0F40DFC, 0xED5C, 0x4080, {0xBA, 0x0C, 0xDD, 0x1B, 0xAA, 0x4E, 0x8F, 0x2A}};

// The interface detail record: its size as SetupAPI asks for it, at least
// the record's own header, plus a terminator kept past the path in case the
// path fills the record to its last byte.
PSP_DEVICE_INTERFACE_DETAIL_DATA_A AllocateDetail(DWORD required, DWORD *size) {
    DWORD minimum = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    *size = required > minimum ? required : minimum;
    auto *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::calloc(1, *size + 1u));
    if (detail != nullptr) {
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    }
    return detail;
}

// Opens the device at an interface path and keeps its handle.
int OpenPath(const char *path) {
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        DeviceHandle = nullptr;
        return kInitFailed;
    }
    DeviceHandle = handle;
    return 0;
}

// Opens the first device that the information set lists for the class.
int OpenFirstInterface(HDEVINFO set) {
    SP_DEVICE_INTERFACE_DATA interface;
    std::memset(&interface, 0, sizeof interface);
    interface.cbSize = sizeof interface;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_CLASS_I82930_BULK, 0, &interface)) {
        return kInitFailed;
    }
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &interface, nullptr, 0, &required, nullptr);
    DWORD size = 0;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = AllocateDetail(required, &size);
    if (detail == nullptr) {
        return kInitFailed;
    }
    int result = kInitFailed;
    if (SetupDiGetDeviceInterfaceDetailA(set, &interface, detail, size, nullptr, nullptr)) {
        result = OpenPath(detail->DevicePath);
    }
    std::free(detail);
    return result;
}

} // namespace

void CloseDevice() {
    if (DeviceHandle != nullptr) {
        CloseHandle(DeviceHandle);
        DeviceHandle = nullptr;
    }
}

int InitDevice() {
    CloseDevice();
    HDEVINFO set =
        SetupDiGetClassDevsA(&GUID_CLASS_I82930_BULK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return kInitFailed;
    }
    int result = OpenFirstInterface(set);
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

int ProbeReady() {
    DWORD returned = 0;
    return DeviceIoControl(DeviceHandle, IOCTL_SCOPE_READY, nullptr, 0, nullptr, 0, &returned, nullptr) ? 1 : 0;
}

int LinkStatus() {
    int status = 0;
    if (ReinitFailed != 0) {
        status |= ZQLUSB_LINK_FAILED;
    }
    if (ReadMissed != 0) {
        status |= ZQLUSB_LINK_READ_MISSED;
    }
    if (WriteGivenUp != 0) {
        status |= ZQLUSB_LINK_WRITE_LOST;
        WriteGivenUp = 0;
    }
    return status;
}

void SetBehaviour(int behaviour) {
    if (behaviour & 1) {
        OpenWindow = 1;
    }
}

void StoreDriverVersion(DriverVersion *version) {
    if (version != nullptr) {
        version->MajorVersion = 1;
        version->MinorVersion = 3;
    }
}

} // namespace zqlusb
