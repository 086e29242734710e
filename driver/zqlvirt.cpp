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
// C-level C++: no exceptions, no RTTI, no static constructors (nothing runs
// them in a driver); all state is in one zero-initialised record.
#include "zqlvirt_interface.h"
#include "zqlvirt_relay.h"
#include "zqlvirt_state.h"

namespace zqlvirt {

DriverState state;

namespace {

// The instrument's device interface class, under which the library looks.
const GUID kInterfaceClass = ZQL_INTERFACE_CLASS;

// The four control requests of the instrument (device type 0x22, buffered).
const ULONG kWriteStream = 0x220018;
const ULONG kWriteRaw = 0x22001C;
const ULONG kRead = 0x220024;
const ULONG kReady = 0x220028;

// --- The application side ---------------------------------------------------

// Checks a control request's buffers against what the instrument takes.
NTSTATUS CheckControl(PIO_STACK_LOCATION at) {
    const ULONG in = at->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = at->Parameters.DeviceIoControl.OutputBufferLength;
    switch (at->Parameters.DeviceIoControl.IoControlCode) {
    case kWriteStream:
        return out != 0 ? STATUS_INVALID_PARAMETER : in > ZQL_MAX_STREAM ? STATUS_INVALID_BUFFER_SIZE : STATUS_SUCCESS;
    case kWriteRaw:
        return in != out ? STATUS_INVALID_PARAMETER : in > ZQL_MAX_RAW ? STATUS_INVALID_BUFFER_SIZE : STATUS_SUCCESS;
    case kRead:
        return in != out ? STATUS_INVALID_PARAMETER : in > ZQL_MAX_READ ? STATUS_INVALID_BUFFER_SIZE : STATUS_SUCCESS;
    case kReady:
        return in != 0 || out != 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// An application's handle is closed. Wine frees the file object as soon as
// the close is dispatched, so the close completes at once and nothing keeps
// a pointer to the file: an open still pending forgets it, and the host
// hears of the close through a notice, an IRP of the driver's own queued
// behind the handle's other requests. Without memory for a notice the host
// is not told; the handle's number is never used again.
void NoteClose(PFILE_OBJECT file) {
    PIRP notice = IoAllocateIrp(1, FALSE);
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    ForgetHandle(file);
    for (PLIST_ENTRY e = state.requests.Flink; e != &state.requests; e = e->Flink) {
        PIRP pending = IrpOf(e);
        if (KindOf(pending) == ZQL_MSG_OPEN && IoGetCurrentIrpStackLocation(pending)->FileObject == file) {
            AddFlag(pending, kFileGone);
        }
    }
    PIRP hostIrp = nullptr;
    ULONG size = 0;
    if (notice != nullptr && state.host != nullptr) {
        SetContext(notice, kSlotKind, ZQL_MSG_CLOSE);
        SetContext(notice, kSlotFlags, 0);
        SetContext(notice, kSlotHandle, HandleOf(file));
        Enqueue(notice);
        notice = nullptr;
        hostIrp = MatchHost(&size);
    }
    KeReleaseSpinLock(&state.lock, irql);
    if (notice != nullptr) {
        IoFreeIrp(notice);
    }
    if (hostIrp != nullptr) {
        Complete(hostIrp, STATUS_SUCCESS, size);
    }
}

NTSTATUS InstrumentRequest(PIRP irp) {
    PIO_STACK_LOCATION at = IoGetCurrentIrpStackLocation(irp);
    switch (at->MajorFunction) {
    case IRP_MJ_CREATE: {
        KIRQL irql;
        KeAcquireSpinLock(&state.lock, &irql);
        const ULONG handle = ++state.nextHandle;
        KeReleaseSpinLock(&state.lock, irql);
        at->FileObject->FsContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(handle));
        return Relay(irp, ZQL_MSG_OPEN);
    }
    case IRP_MJ_CLEANUP:
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLOSE:
        NoteClose(at->FileObject);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL: {
        const NTSTATUS checked = CheckControl(at);
        return NT_SUCCESS(checked) ? Relay(irp, ZQL_MSG_CONTROL) : Refuse(irp, checked);
    }
    default:
        return Refuse(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// --- The host side ----------------------------------------------------------

// The statuses an application's request may complete with: those the relay
// means (done, the instrument is not connected, the transfer failed, a
// request the instrument cannot take) and, for an open, no such device.
// Anything else a host answers (pending, reparse, a warning, an unknown
// failure) would leave the application's call in a state it cannot be in; it
// becomes a device error, with no bytes, and is counted. Under the lock.
bool StatusAllowed(ULONG kind, NTSTATUS status) {
    switch (status) {
    case STATUS_SUCCESS:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_IO_DEVICE_ERROR:
    case STATUS_INVALID_PARAMETER:
        return true;
    case STATUS_NO_SUCH_DEVICE:
        return kind == ZQL_MSG_OPEN;
    default:
        return false;
    }
}

// Completes the request the host answered, with its output bytes. `from` is
// the host's file: a host that has left since its host check answers nothing.
void DeliverAnswer(PFILE_OBJECT from, const ZqlHostAnswer &answer, ULONG attached) {
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    PIRP request = state.host == from ? FindRequest(answer.id) : nullptr;
    if (request == nullptr || !DeliveredOf(request) || !TakeForCompletion(request)) {
        KeReleaseSpinLock(&state.lock, irql); // cancelled meanwhile, a wrong id, or a departed host
        return;
    }
    ++state.counts.served;
    PIO_STACK_LOCATION at = IoGetCurrentIrpStackLocation(request);
    const ULONG kind = KindOf(request);
    NTSTATUS status = answer.status;
    if (kind != ZQL_MSG_CLOSE && !StatusAllowed(kind, status)) {
        status = STATUS_IO_DEVICE_ERROR;
        ++state.counts.replaced;
    }
    const bool replaced = status != answer.status;
    const bool fileThere = (Context(request, kSlotFlags) & kFileGone) == 0;
    if (kind == ZQL_MSG_OPEN && NT_SUCCESS(status) && fileThere) {
        at->FileObject->FsContext2 = reinterpret_cast<PVOID>(1);
        ++state.counts.openHandles;
    }
    KeReleaseSpinLock(&state.lock, irql);
    if (kind == ZQL_MSG_CLOSE) {
        IoFreeIrp(request); // a notice: the host has seen the close
        return;
    }
    ULONG_PTR information = 0;
    if (kind == ZQL_MSG_CONTROL && !replaced) {
        const ULONG out = at->Parameters.DeviceIoControl.OutputBufferLength;
        ULONG length = answer.length < out ? answer.length : out;
        length = length < attached ? length : attached;
        if (length > 0) {
            RtlCopyMemory(request->AssociatedIrp.SystemBuffer, &answer + 1, length);
        }
        information = answer.information < out ? answer.information : out;
    }
    Complete(request, status, information);
}

// ZQLHOST_NEXT: the answer to the previous message in, the next message out.
NTSTATUS HostNext(PIRP irp, PIO_STACK_LOCATION at) {
    const ULONG in = at->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG out = at->Parameters.DeviceIoControl.OutputBufferLength;
    if (in < sizeof(ZqlHostAnswer) || out < sizeof(ZqlHostMessage)) {
        return Refuse(irp, STATUS_INVALID_PARAMETER);
    }
    const auto *answer = static_cast<const ZqlHostAnswer *>(irp->AssociatedIrp.SystemBuffer);
    if (answer->id != 0) {
        DeliverAnswer(at->FileObject, *answer, in - static_cast<ULONG>(sizeof *answer));
    }
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    if (state.host != at->FileObject) {
        KeReleaseSpinLock(&state.lock, irql);
        return Refuse(irp, STATUS_ACCESS_DENIED); // the host left since its host check
    }
    if (state.hostWait != nullptr) {
        KeReleaseSpinLock(&state.lock, irql);
        return Refuse(irp, STATUS_DEVICE_BUSY); // one outstanding wait at a time
    }
    if (state.stopWanted) {
        state.stopWanted = false;
        KeReleaseSpinLock(&state.lock, irql);
        return Complete(irp, STATUS_CANCELLED, 0);
    }
    PIRP request = FirstUndelivered();
    if (request != nullptr) {
        const ULONG size = WriteMessage(request, irp);
        KeReleaseSpinLock(&state.lock, irql);
        return Complete(irp, STATUS_SUCCESS, size);
    }
    IoMarkIrpPending(irp);
    state.hostWait = irp;
    (void)IoSetCancelRoutine(irp, CancelHostWait);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        state.hostWait = nullptr;
        KeReleaseSpinLock(&state.lock, irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&state.lock, irql);
    return STATUS_PENDING;
}

// ZQLHOST_STOP: ends the host's wait, or the next one if it is answering.
NTSTATUS HostStop(PIRP irp, PFILE_OBJECT from) {
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    if (state.host != from) {
        KeReleaseSpinLock(&state.lock, irql);
        return Refuse(irp, STATUS_ACCESS_DENIED); // left since its host check: the next host's wait is not its
    }
    PIRP wait = state.hostWait;
    if (wait != nullptr && IoSetCancelRoutine(wait, nullptr) != nullptr) {
        state.hostWait = nullptr;
    } else {
        wait = nullptr; // not waiting (or being cancelled already)
        state.stopWanted = true;
    }
    KeReleaseSpinLock(&state.lock, irql);
    if (wait != nullptr) {
        Complete(wait, STATUS_CANCELLED, 0);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

// ZQLHOST_PAYLOAD: the input bytes of a delivered request too large to attach.
NTSTATUS HostPayload(PIRP irp, PIO_STACK_LOCATION at) {
    if (at->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
        return Refuse(irp, STATUS_INVALID_PARAMETER);
    }
    const ULONG id = *static_cast<const ULONG *>(irp->AssociatedIrp.SystemBuffer);
    const ULONG out = at->Parameters.DeviceIoControl.OutputBufferLength;
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    PIRP request = state.host == at->FileObject ? FindRequest(id) : nullptr;
    if (request == nullptr || KindOf(request) != ZQL_MSG_CONTROL) {
        KeReleaseSpinLock(&state.lock, irql);
        return Refuse(irp, STATUS_NOT_FOUND);
    }
    const ULONG length = IoGetCurrentIrpStackLocation(request)->Parameters.DeviceIoControl.InputBufferLength;
    if (out < length) {
        KeReleaseSpinLock(&state.lock, irql);
        return Refuse(irp, STATUS_BUFFER_TOO_SMALL);
    }
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, request->AssociatedIrp.SystemBuffer, length);
    KeReleaseSpinLock(&state.lock, irql);
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS HostAttach(PIRP irp, PIO_STACK_LOCATION at) {
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    if (state.host != nullptr) {
        KeReleaseSpinLock(&state.lock, irql);
        return Refuse(irp, STATUS_DEVICE_BUSY);
    }
    state.host = at->FileObject;
    state.interfaceWanted = true;
    state.stopWanted = false;
    state.counts.hostPresent = 1;
    KeReleaseSpinLock(&state.lock, irql);
    UpdateInterface();
    return Complete(irp, STATUS_SUCCESS, 0);
}

// The host closed its handle or died: no one serves the instrument.
void HostGone(PFILE_OBJECT file) {
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    const bool wasHost = state.host == file;
    if (wasHost) {
        state.host = nullptr;
        state.counts.hostPresent = 0;
    }
    PIRP wait = nullptr;
    if (wasHost && state.hostWait != nullptr && IoSetCancelRoutine(state.hostWait, nullptr) != nullptr) {
        wait = state.hostWait;
        state.hostWait = nullptr;
    }
    KeReleaseSpinLock(&state.lock, irql);
    if (!wasHost) {
        return;
    }
    if (wait != nullptr) {
        Complete(wait, STATUS_CANCELLED, 0);
    }
    UpdateInterface();
    FailAllRequests();
}

// ZQLHOST_INTERFACE: the host switches the interface on or off.
NTSTATUS HostInterface(PIRP irp, PIO_STACK_LOCATION at) {
    if (at->Parameters.DeviceIoControl.InputBufferLength < 1) {
        return Refuse(irp, STATUS_INVALID_PARAMETER);
    }
    const bool wanted = *static_cast<const UCHAR *>(irp->AssociatedIrp.SystemBuffer) != 0;
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    const bool host = state.host == at->FileObject;
    if (host) {
        state.interfaceWanted = wanted;
    }
    KeReleaseSpinLock(&state.lock, irql);
    if (!host) {
        return Refuse(irp, STATUS_ACCESS_DENIED); // left since its host check
    }
    UpdateInterface();
    return Complete(irp, STATUS_SUCCESS, 0);
}

bool IsHost(PFILE_OBJECT file) {
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    const bool host = file != nullptr && state.host == file;
    KeReleaseSpinLock(&state.lock, irql);
    return host;
}

NTSTATUS HostControl(PIRP irp, PIO_STACK_LOCATION at) {
    const ULONG code = at->Parameters.DeviceIoControl.IoControlCode;
    if (code == ZQLHOST_STATUS) {
        if (at->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ZqlDriverStatus)) {
            return Refuse(irp, STATUS_BUFFER_TOO_SMALL);
        }
        KIRQL irql;
        KeAcquireSpinLock(&state.lock, &irql);
        RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &state.counts, sizeof state.counts);
        KeReleaseSpinLock(&state.lock, irql);
        return Complete(irp, STATUS_SUCCESS, sizeof(ZqlDriverStatus));
    }
    if (code == ZQLHOST_ATTACH) {
        return HostAttach(irp, at);
    }
    if (code == ZQLHOST_SYNC) {
        return Relay(irp, ZQL_MSG_SYNC);
    }
    if (!IsHost(at->FileObject)) {
        return Refuse(irp, code == ZQLHOST_NEXT || code == ZQLHOST_PAYLOAD || code == ZQLHOST_INTERFACE ||
                                   code == ZQLHOST_STOP
                               ? STATUS_ACCESS_DENIED
                               : STATUS_INVALID_DEVICE_REQUEST);
    }
    switch (code) {
    case ZQLHOST_NEXT:
        return HostNext(irp, at);
    case ZQLHOST_PAYLOAD:
        return HostPayload(irp, at);
    case ZQLHOST_STOP:
        return HostStop(irp, at->FileObject);
    case ZQLHOST_INTERFACE:
        return HostInterface(irp, at);
    default:
        return Refuse(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS ControlRequest(PIRP irp) {
    PIO_STACK_LOCATION at = IoGetCurrentIrpStackLocation(irp);
    switch (at->MajorFunction) {
    case IRP_MJ_CREATE:
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        HostGone(at->FileObject);
        return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_DEVICE_CONTROL:
        return HostControl(irp, at);
    default:
        return Refuse(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// --- Plug and play and power ------------------------------------------------

NTSTATUS PassDown(PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(state.lower, irp);
}

void SetStarted(bool started) {
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    state.started = started;
    KeReleaseSpinLock(&state.lock, irql);
}

NTSTATUS PnpRequest(PIRP irp) {
    PIO_STACK_LOCATION at = IoGetCurrentIrpStackLocation(irp);
    switch (at->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        irp->IoStatus.Status = STATUS_SUCCESS;
        const NTSTATUS status = PassDown(irp);
        SetStarted(true);
        UpdateInterface();
        return status;
    }
    case IRP_MN_REMOVE_DEVICE: {
        SetStarted(false);
        UpdateInterface();
        HostGone(state.host);
        WaitForInterface();
        irp->IoStatus.Status = STATUS_SUCCESS;
        const NTSTATUS status = PassDown(irp);
        IoDetachDevice(state.lower);
        if (state.linkValid) {
            RtlFreeUnicodeString(&state.link);
            state.linkValid = false;
        }
        IoDeleteDevice(state.fdo);
        state.fdo = nullptr;
        state.lower = nullptr;
        return status;
    }
    default:
        return PassDown(irp);
    }
}

NTSTATUS PowerRequest(PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(state.lower, irp);
}

NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (device == state.control) {
        return ControlRequest(irp);
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return PnpRequest(irp);
    case IRP_MJ_POWER:
        return PowerRequest(irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return PassDown(irp);
    default:
        return InstrumentRequest(irp);
    }
}

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
