// The application side of the virtual driver: requests made on the
// instrument's device interface (opens, closes and the four control
// requests), checked and handed to the relay queue.
#include "zqlvirt_application.h"

#include "zqlvirt_relay.h"

namespace zqlvirt {
namespace {

// The four control requests of the instrument (device type 0x22, buffered).
const ULONG kWriteStream = 0x220018;
const ULONG kWriteRaw = 0x22001C;
const ULONG kRead = 0x220024;
const ULONG kReady = 0x220028;

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

} // namespace

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

} // namespace zqlvirt
