// The seam's patched calls as the x86 DLL makes them, served by the virtual
// instrument's stand-in: 32-bit arguments read from the emulated stack,
// pointers turned into the host addresses of the same bytes, handles
// widened with their sign as 64-bit Windows widens a 32-bit process's
// handles. This lane's stand-in is built with ZQLUSB_X86_RECORDS, so the
// SetupAPI records it reads and writes are laid out as on 32-bit Windows.
#include "x86/imports.h"

#include <cstring>

#include "link/win32_seam.h"
#include "x86/machine.h"

namespace x86 {

using namespace zqlwin;

namespace {

constexpr std::uint32_t kOverlappedSize = 20;         // OVERLAPPED on 32-bit Windows
constexpr std::uint32_t kSecurityAttributesSize = 12; // SECURITY_ATTRIBUTES on 32-bit Windows
constexpr std::uint32_t kDevInfoDataSize = 28;        // SP_DEVINFO_DATA on 32-bit Windows

HANDLE Handle(std::uint32_t value) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(value)));
}

std::uint32_t HandleValue(HANDLE handle) {
    const auto value = reinterpret_cast<std::intptr_t>(handle);
    if (value != static_cast<std::int32_t>(value)) {
        Fault("the stand-in issued a handle wider than 32 bits");
    }
    return static_cast<std::uint32_t>(value);
}

template <typename T> T *Record(std::uint32_t at, std::uint32_t size) {
    return reinterpret_cast<T *>(GuestBytes(at, size, "a record"));
}

std::uint32_t Bool(BOOL value) {
    return static_cast<std::uint32_t>(value);
}

} // namespace

// One adapter for each patched call, by the call's own name.
namespace adapter {

std::uint32_t SetupDiGetClassDevsA(const Frame &f) {
    const auto *guid = Record<const GUID>(f.Argument(0), sizeof(GUID));
    const char *enumerator = GuestString(f.Argument(1));
    if (Faulted()) {
        return 0;
    }
    return HandleValue(zqlwin::SetupDiGetClassDevsA(guid, enumerator, Handle(f.Argument(2)), f.Argument(3)));
}

std::uint32_t SetupDiEnumDeviceInterfaces(const Frame &f) {
    auto *filter = Record<SP_DEVINFO_DATA>(f.Argument(1), kDevInfoDataSize);
    const auto *guid = Record<const GUID>(f.Argument(2), sizeof(GUID));
    auto *data = Record<SP_DEVICE_INTERFACE_DATA>(f.Argument(4), sizeof(SP_DEVICE_INTERFACE_DATA));
    if (Faulted()) {
        return 0;
    }
    return Bool(zqlwin::SetupDiEnumDeviceInterfaces(Handle(f.Argument(0)), filter, guid, f.Argument(3), data));
}

std::uint32_t SetupDiGetDeviceInterfaceDetailA(const Frame &f) {
    auto *data = Record<SP_DEVICE_INTERFACE_DATA>(f.Argument(1), sizeof(SP_DEVICE_INTERFACE_DATA));
    // The detail record is as long as the size the DLL gives, its size field at least.
    const std::uint32_t detailSize = f.Argument(3);
    auto *detail = Record<SP_DEVICE_INTERFACE_DETAIL_DATA_A>(f.Argument(2), detailSize < 4 ? 4 : detailSize);
    auto *required = Record<DWORD>(f.Argument(4), sizeof(DWORD));
    auto *filter = Record<SP_DEVINFO_DATA>(f.Argument(5), kDevInfoDataSize);
    if (Faulted()) {
        return 0;
    }
    return Bool(
        zqlwin::SetupDiGetDeviceInterfaceDetailA(Handle(f.Argument(0)), data, detail, detailSize, required, filter));
}

std::uint32_t SetupDiDestroyDeviceInfoList(const Frame &f) {
    return Bool(zqlwin::SetupDiDestroyDeviceInfoList(Handle(f.Argument(0))));
}

std::uint32_t CreateFileA(const Frame &f) {
    const char *name = GuestString(f.Argument(0));
    auto *security = Record<SECURITY_ATTRIBUTES>(f.Argument(3), kSecurityAttributesSize);
    if (Faulted()) {
        return HandleValue(INVALID_HANDLE_VALUE);
    }
    return HandleValue(zqlwin::CreateFileA(name, f.Argument(1), f.Argument(2), security, f.Argument(4), f.Argument(5),
                                           Handle(f.Argument(6))));
}

std::uint32_t DeviceIoControl(const Frame &f) {
    const std::uint32_t inSize = f.Argument(3), outSize = f.Argument(5);
    void *in = GuestBytes(f.Argument(2), inSize, "the input buffer");
    void *out = GuestBytes(f.Argument(4), outSize, "the output buffer");
    auto *returned = Record<DWORD>(f.Argument(6), sizeof(DWORD));
    auto *overlapped = Record<OVERLAPPED>(f.Argument(7), kOverlappedSize);
    if (Faulted()) {
        return 0;
    }
    return Bool(
        zqlwin::DeviceIoControl(Handle(f.Argument(0)), f.Argument(1), in, inSize, out, outSize, returned, overlapped));
}

std::uint32_t CloseHandle(const Frame &f) {
    return Bool(zqlwin::CloseHandle(Handle(f.Argument(0))));
}

std::uint32_t MessageBoxA(const Frame &f) {
    const char *text = GuestString(f.Argument(1));
    const char *caption = GuestString(f.Argument(2));
    if (Faulted()) {
        return 0;
    }
    return static_cast<std::uint32_t>(zqlwin::MessageBoxA(Handle(f.Argument(0)), text, caption, f.Argument(3)));
}

} // namespace adapter

namespace {

// Every argument of these calls is 32 bits wide on x86.
template <typename Result, typename... Parameters> constexpr std::uint16_t ArgumentBytes(Result (*)(Parameters...)) {
    return static_cast<std::uint16_t>(4 * sizeof...(Parameters));
}

} // namespace

// The seam's table, call by call, to the adapter of the same name: a call
// added to the table without its adapter fails the build.
std::vector<HostImport> StandInImports() {
    std::vector<HostImport> imports;
#define ZQL_X86_STANDIN(dll, result, name, parameters)                                                                 \
    imports.push_back({#dll ".dll", #name, &adapter::name, ArgumentBytes(&zqlwin::name)});
    ZQLUSB_WIN32_PATCHED_CALLS(ZQL_X86_STANDIN)
#undef ZQL_X86_STANDIN
    return imports;
}

} // namespace x86
