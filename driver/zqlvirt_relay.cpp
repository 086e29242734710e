// The relay queue: pends the requests made on the instrument, hands each to
// the host's outstanding ZQLHOST_NEXT, and cancels or fails them.
#include "zqlvirt_relay.h"

namespace zqlvirt {

namespace {

// The cancel routine of a pended application request or sync.
VOID NTAPI CancelRequest(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    RemoveEntryList(EntryOf(irp));
    InitializeListHead(EntryOf(irp)); // a second removal is harmless
    if (KindOf(irp) == ZQL_MSG_CONTROL || KindOf(irp) == ZQL_MSG_OPEN) {
        --state.counts.pending;
    }
    KeReleaseSpinLock(&state.lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

} // namespace

VOID NTAPI CancelHostWait(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    if (state.hostWait == irp) {
        state.hostWait = nullptr;
    }
    KeReleaseSpinLock(&state.lock, irql);
    Complete(irp, STATUS_CANCELLED, 0);
}

// Takes a request out of the list for completion; false when its
// cancellation is already under way (the cancel routine completes it).
bool TakeForCompletion(PIRP irp) {
    RemoveEntryList(EntryOf(irp));
    InitializeListHead(EntryOf(irp));
    if (KindOf(irp) == ZQL_MSG_CLOSE) {
        return true; // a notice: never cancelled
    }
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return false;
    }
    if (KindOf(irp) == ZQL_MSG_CONTROL || KindOf(irp) == ZQL_MSG_OPEN) {
        --state.counts.pending;
    }
    return true;
}

PIRP FindRequest(ULONG id) {
    for (PLIST_ENTRY e = state.requests.Flink; e != &state.requests; e = e->Flink) {
        if (IdOf(IrpOf(e)) == id) {
            return IrpOf(e);
        }
    }
    return nullptr;
}

PIRP FirstUndelivered() {
    for (PLIST_ENTRY e = state.requests.Flink; e != &state.requests; e = e->Flink) {
        if (!DeliveredOf(IrpOf(e))) {
            return IrpOf(e);
        }
    }
    return nullptr;
}

// Writes the message for `request` into the host's output buffer; returns its
// size. Under the lock.
ULONG WriteMessage(PIRP request, PIRP hostIrp) {
    PIO_STACK_LOCATION at = IoGetCurrentIrpStackLocation(request);
    const ULONG room = IoGetCurrentIrpStackLocation(hostIrp)->Parameters.DeviceIoControl.OutputBufferLength;
    auto *message = static_cast<ZqlHostMessage *>(hostIrp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(message, sizeof *message);
    message->id = IdOf(request);
    message->kind = KindOf(request);
    message->handle = Context(request, kSlotHandle);
    ULONG size = sizeof *message;
    if (message->kind == ZQL_MSG_CONTROL) {
        message->code = at->Parameters.DeviceIoControl.IoControlCode;
        message->inLength = at->Parameters.DeviceIoControl.InputBufferLength;
        message->outLength = at->Parameters.DeviceIoControl.OutputBufferLength;
        if (message->inLength <= room - sizeof *message) {
            RtlCopyMemory(message + 1, request->AssociatedIrp.SystemBuffer, message->inLength);
            size += message->inLength;
        } else {
            message->flags = ZQL_PAYLOAD_DETACHED;
        }
    }
    AddFlag(request, kDelivered);
    return size;
}

// Hands the oldest undelivered request to the waiting host, if both are
// there. Under the lock; returns the host IRP to complete outside it.
PIRP MatchHost(ULONG *size) {
    if (state.hostWait == nullptr) {
        return nullptr;
    }
    PIRP request = FirstUndelivered();
    if (request == nullptr) {
        return nullptr;
    }
    PIRP hostIrp = state.hostWait;
    if (IoSetCancelRoutine(hostIrp, nullptr) == nullptr) {
        return nullptr; // being cancelled; its cancel routine clears hostWait
    }
    state.hostWait = nullptr;
    *size = WriteMessage(request, hostIrp);
    return hostIrp;
}

// Gives a request its id and puts it at the end of the list. Under the lock.
void Enqueue(PIRP irp) {
    if (++state.nextId == 0) {
        ++state.nextId; // 0 means no message
    }
    SetContext(irp, kSlotId, state.nextId);
    InsertTailList(&state.requests, EntryOf(irp));
}

// Queues a request for the host and pends it; fails it when no host serves.
NTSTATUS Relay(PIRP irp, ULONG kind) {
    SetContext(irp, kSlotKind, kind);
    SetContext(irp, kSlotFlags, 0);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    SetContext(irp, kSlotHandle, file != nullptr ? HandleOf(file) : 0);
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    if (state.host == nullptr) {
        KeReleaseSpinLock(&state.lock, irql);
        if (kind == ZQL_MSG_SYNC) {
            return Complete(irp, STATUS_SUCCESS, 0);
        }
        return Refuse(irp, kind == ZQL_MSG_OPEN ? STATUS_NO_SUCH_DEVICE : STATUS_DEVICE_NOT_CONNECTED);
    }
    IoMarkIrpPending(irp);
    Enqueue(irp);
    if (kind == ZQL_MSG_CONTROL || kind == ZQL_MSG_OPEN) {
        ++state.counts.pending;
    }
    (void)IoSetCancelRoutine(irp, CancelRequest);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it was queued, and no cancel routine will run.
        RemoveEntryList(EntryOf(irp));
        if (kind == ZQL_MSG_CONTROL || kind == ZQL_MSG_OPEN) {
            --state.counts.pending;
        }
        KeReleaseSpinLock(&state.lock, irql);
        Complete(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    ULONG size = 0;
    PIRP hostIrp = MatchHost(&size);
    KeReleaseSpinLock(&state.lock, irql);
    if (hostIrp != nullptr) {
        Complete(hostIrp, STATUS_SUCCESS, size);
    }
    return STATUS_PENDING;
}

// Fails every pending request: the host is gone. Called without the lock.
void FailAllRequests() {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&state.lock, &irql);
        PIRP irp = nullptr;
        while (!IsListEmpty(&state.requests)) {
            PIRP first = IrpOf(state.requests.Flink);
            if (TakeForCompletion(first)) {
                irp = first;
                break;
            }
        }
        KeReleaseSpinLock(&state.lock, irql);
        if (irp == nullptr) {
            return;
        }
        const ULONG kind = KindOf(irp);
        if (kind == ZQL_MSG_OPEN) {
            Complete(irp, STATUS_NO_SUCH_DEVICE, 0);
        } else if (kind == ZQL_MSG_CONTROL) {
            Complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
        } else {
            Finish(irp, STATUS_SUCCESS, 0);
        }
    }
}

} // namespace zqlvirt
