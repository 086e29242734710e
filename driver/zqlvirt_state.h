// The virtual Zelqa driver's one state record, shared by all its parts, and
// the small helpers every part uses on a request: its slots in the IRP's
// driver context, completing or refusing it, and an application handle's
// number. Everything here runs at any level; the record's lock guards it.
//
// C-level C++: no exceptions, no RTTI, no static constructors (nothing runs
// them in a driver); all state is in one zero-initialised record.
#pragma once

#include <ntddk.h>
#include <ntifs.h>
#include <wdm.h>

#include "host_protocol.h"

namespace zqlvirt {

struct DriverState {
    KSPIN_LOCK lock;
    LIST_ENTRY requests;    // application requests and syncs, oldest first
    PIRP hostWait;          // the host's pended ZQLHOST_NEXT, or null
    PFILE_OBJECT host;      // the host's file object, or null
    PDEVICE_OBJECT control; // \Device\ZelqaHost
    PDEVICE_OBJECT fdo;     // the instrument's device, once added
    PDEVICE_OBJECT lower;   // the device below it in the stack
    UNICODE_STRING link;    // the interface's symbolic link name
    bool linkValid;
    bool started;
    bool interfaceWanted;   // the host's choice; enabled only while it serves
    bool interfaceEnabled;  // as last applied
    bool interfaceApplying; // a caller is applying a change outside the lock
    bool stopWanted;        // ZQLHOST_STOP came while the host was not waiting
    ULONG nextId;
    ULONG nextHandle;
    ZqlDriverStatus counts;
};

// The driver's state, zeroed and initialised by DriverEntry.
extern DriverState state;

// Per request, in the IRP's driver context: its message id, its flags, what
// kind of message it is, and the application handle's number it is about.
enum ContextSlot { kSlotId, kSlotFlags, kSlotKind, kSlotHandle };
enum RequestFlags : ULONG {
    kDelivered = 1, // the host has the message
    kFileGone = 2   // an open whose file Wine has freed already (its close came first)
};
inline ULONG Context(PIRP irp, ContextSlot slot) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[slot]));
}
inline void SetContext(PIRP irp, ContextSlot slot, ULONG value) {
    irp->Tail.Overlay.DriverContext[slot] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(value));
}
inline ULONG IdOf(PIRP irp) {
    return Context(irp, kSlotId);
}
inline bool DeliveredOf(PIRP irp) {
    return (Context(irp, kSlotFlags) & kDelivered) != 0;
}
inline void AddFlag(PIRP irp, ULONG flag) {
    SetContext(irp, kSlotFlags, Context(irp, kSlotFlags) | flag);
}
inline ULONG KindOf(PIRP irp) {
    return Context(irp, kSlotKind);
}
inline PLIST_ENTRY EntryOf(PIRP irp) {
    return &irp->Tail.Overlay.ListEntry;
}
inline PIRP IrpOf(PLIST_ENTRY entry) {
    return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Ends a request taken from the list: a close notice is the driver's own
// IRP and is freed; an application's request completes.
inline void Finish(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    if (KindOf(irp) == ZQL_MSG_CLOSE) {
        IoFreeIrp(irp);
    } else {
        Complete(irp, status, information);
    }
}

inline NTSTATUS Refuse(PIRP irp, NTSTATUS status) {
    InterlockedIncrement(reinterpret_cast<volatile LONG *>(&state.counts.refused));
    return Complete(irp, status, 0);
}

inline ULONG HandleOf(PFILE_OBJECT file) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(file->FsContext));
}

// An application handle counts as open from the host's yes to its open until
// its close. Under the lock.
inline void ForgetHandle(PFILE_OBJECT file) {
    if (file != nullptr && file->FsContext2 != nullptr) {
        file->FsContext2 = nullptr;
        --state.counts.openHandles;
    }
}

} // namespace zqlvirt
