// The virtual Zelqa driver: a WDM driver for a root-enumerated device that
// offers the instrument's device interface and relays every request made on
// it to a host process, which serves the virtual instrument in user mode.
//
// Applications open the interface and send the four control requests; the
// driver checks each request's buffers, pends it, and hands it to the host's
// outstanding ZQLHOST_NEXT (inverted call). The host's answer completes it.
// The interface is enabled only while a host serves (and the host may switch
// it off and on, for an unplugged instrument); when the host goes, every
// pending and later request fails with STATUS_DEVICE_NOT_CONNECTED.
//
// This file holds the driver's load and unload, the instrument's device as
// plug and play adds it, and the host's control device with its protection.
// The other parts: zqlvirt_dispatch (every IRP's entry point, PnP and power),
// zqlvirt_application (requests on the instrument), zqlvirt_host_role (the
// control device's requests), zqlvirt_relay (the queue between them),
// zqlvirt_interface (the device interface's state) and zqlvirt_state.h (the
// state record and request helpers all of them share).
//
// C-level C++: no exceptions, no RTTI, no static constructors (nothing runs
// them in a driver); all state is in one zero-initialised record.
#include "zqlvirt_dispatch.h"
#include "zqlvirt_state.h"

namespace zqlvirt {

DriverState state;

namespace {

// The instrument's device interface class, under which the library looks.
const GUID kInterfaceClass = ZQL_INTERFACE_CLASS;

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    if (state.fdo != nullptr) {
        return STATUS_DEVICE_BUSY; // one virtual instrument
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoRegisterDeviceInterface(pdo, &kInterfaceClass, nullptr, &state.link);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    state.linkValid = true;
    state.lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    state.fdo = fdo;
    fdo->Flags |= DO_BUFFERED_IO;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ZQLHOST_LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (state.control != nullptr) {
        IoDeleteDevice(state.control);
        state.control = nullptr;
    }
}

// The well-known accounts that may open the control device: LocalSystem
// (S-1-5-18) and the Administrators group (S-1-5-32-544).
struct WellKnownSid {
    UCHAR revision;
    UCHAR subAuthorityCount;
    UCHAR authority[6];
    ULONG subAuthority[2];
};
const WellKnownSid kLocalSystem = {1, 1, {0, 0, 0, 0, 0, 5}, {18, 0}};
const WellKnownSid kAdministrators = {1, 2, {0, 0, 0, 0, 0, 5}, {32, 544}};
// Room for the access list: its header and two entries of at most 24 bytes.
constexpr ULONG kAclBytes = 128;

// Makes the host role an administrator's: the control device opens only for
// SYSTEM and Administrators, with full access, for anyone else not at all.
NTSTATUS ProtectControlDevice(PDEVICE_OBJECT device) {
    ULONG aclArea[kAclBytes / sizeof(ULONG)];
    PACL acl = reinterpret_cast<PACL>(aclArea);
    SECURITY_DESCRIPTOR descriptor;
    PSID system = const_cast<WellKnownSid *>(&kLocalSystem);
    PSID administrators = const_cast<WellKnownSid *>(&kAdministrators);
    NTSTATUS status = RtlCreateAcl(acl, kAclBytes, ACL_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, system);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, administrators);
    }
    if (NT_SUCCESS(status)) {
        status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
    }
    HANDLE handle = nullptr;
    if (NT_SUCCESS(status)) {
        status = ObOpenObjectByPointer(device, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr, KernelMode, &handle);
    }
    if (NT_SUCCESS(status)) {
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
        ZwClose(handle);
    }
    return status;
}

NTSTATUS CreateControlDevice(PDRIVER_OBJECT driver) {
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, ZQLHOST_DEVICE_NAME);
    RtlInitUnicodeString(&link, ZQLHOST_LINK_NAME);
    NTSTATUS status =
        IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &state.control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // No host role without its protection: a driver that cannot set it does not start.
    status = ProtectControlDevice(state.control);
    if (NT_SUCCESS(status)) {
        status = IoCreateSymbolicLink(&link, &name);
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(state.control);
        state.control = nullptr;
        return status;
    }
    state.control->Flags |= DO_BUFFERED_IO;
    state.control->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace
} // namespace zqlvirt

using namespace zqlvirt;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    RtlZeroMemory(&state, sizeof state);
    KeInitializeSpinLock(&state.lock);
    InitializeListHead(&state.requests);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        driver->MajorFunction[i] = Dispatch;
    }
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return CreateControlDevice(driver);
}
