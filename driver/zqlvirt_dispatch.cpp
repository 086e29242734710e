// The virtual driver's dispatch: the one entry point of every IRP, sending
// each to the control device's host role, the instrument's application side,
// or its plug and play and power handling here.
#include "zqlvirt_dispatch.h"

#include "zqlvirt_application.h"
#include "zqlvirt_host_role.h"
#include "zqlvirt_interface.h"

namespace zqlvirt {
namespace {

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

} // namespace

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

} // namespace zqlvirt
