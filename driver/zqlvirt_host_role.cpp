// The host role of the virtual driver: the control device \Device\ZelqaHost,
// through which the host process claims the role, takes each relayed
// request, answers it, and switches the instrument's interface.
#include "zqlvirt_host_role.h"

#include "zqlvirt_interface.h"
#include "zqlvirt_relay.h"

namespace zqlvirt {

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

namespace {

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

} // namespace

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

} // namespace zqlvirt
