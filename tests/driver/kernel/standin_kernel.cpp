// The stand-in kernel's calls: single-threaded, recording, and strict where
// the real kernel would hang or fault (a spin lock taken twice, an interface
// change at raised level, a request completed twice, an IRP freed twice).
#include "standin_kernel.h"

#include <gtest/gtest.h>

#include <memory>

namespace standin {
namespace {

Record record;
std::vector<std::unique_ptr<IRP>> allocated;
std::vector<std::unique_ptr<DEVICE_OBJECT>> made;
int releaseCount = 0;
int fireAt = 0;
bool fired = false;
std::function<void()> pending;

std::string SidText(const UCHAR *sid) {
    std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(sid[7]);
    ULONG sub[8] = {};
    std::memcpy(sub, sid + 8, sizeof(ULONG) * sid[1]);
    for (UCHAR i = 0; i < sid[1]; ++i) {
        text += "-" + std::to_string(sub[i]);
    }
    return text;
}

// Access lists by address: the entries the driver added.
std::vector<std::pair<PACL, std::vector<Ace>>> acls;
std::vector<Ace> *AclEntries(PACL acl) {
    for (auto &entry : acls) {
        if (entry.first == acl) {
            return &entry.second;
        }
    }
    return nullptr;
}

} // namespace

Record &Kernel() {
    return record;
}

void Reset() {
    record = Record{};
    allocated.clear();
    made.clear();
    acls.clear();
    releaseCount = 0;
    fireAt = 0;
    fired = false;
    pending = nullptr;
}

void AtRelease(int n, std::function<void()> action) {
    fireAt = releaseCount + n;
    fired = false;
    pending = std::move(action);
}

bool Fired() {
    return fired;
}

} // namespace standin

using standin::record;

void KeInitializeSpinLock(KSPIN_LOCK *lock) {
    lock->held = false;
}

void KeAcquireSpinLock(KSPIN_LOCK *lock, PKIRQL irql) {
    if (lock->held) {
        ADD_FAILURE() << "a spin lock taken while held: the processor would spin for ever";
    }
    lock->held = true;
    ++record.locksHeld;
    *irql = 0;
}

void KeReleaseSpinLock(KSPIN_LOCK *lock, KIRQL) {
    lock->held = false;
    --record.locksHeld;
    if (++standin::releaseCount == standin::fireAt && standin::pending) {
        std::function<void()> action = std::move(standin::pending);
        standin::pending = nullptr;
        standin::fired = true;
        action();
    }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, LARGE_INTEGER *) {
    ADD_FAILURE() << "waited: nothing else runs in the stand-in to end the wait";
    return STATUS_SUCCESS;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
    PDRIVER_CANCEL old = irp->CancelRoutine;
    irp->CancelRoutine = routine;
    return old;
}

void IoReleaseCancelSpinLock(KIRQL) {}

void IoCompleteRequest(PIRP irp, CCHAR) {
    if (++irp->completions > 1) {
        ADD_FAILURE() << "a request completed twice";
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        ADD_FAILURE() << "a request completed with STATUS_PENDING";
    }
}

PIRP IoAllocateIrp(CCHAR, BOOLEAN) {
    standin::allocated.push_back(std::make_unique<IRP>());
    return standin::allocated.back().get();
}

void IoFreeIrp(PIRP irp) {
    if (irp->freed) {
        ADD_FAILURE() << "an IRP freed twice";
    }
    irp->freed = true;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG, PUNICODE_STRING name, ULONG, ULONG characteristics, BOOLEAN,
                        PDEVICE_OBJECT *device) {
    standin::made.push_back(std::make_unique<DEVICE_OBJECT>());
    *device = standin::made.back().get();
    (*device)->DriverObject = driver;
    (*device)->Flags = DO_DEVICE_INITIALIZING;
    (*device)->id = static_cast<int>(standin::made.size());
    record.devices.push_back(*device);
    if (name != nullptr) {
        record.named = *device;
        record.namedCharacteristics = characteristics;
    }
    return STATUS_SUCCESS;
}

void IoDeleteDevice(PDEVICE_OBJECT device) {
    for (auto it = record.devices.begin(); it != record.devices.end(); ++it) {
        if (*it == device) {
            record.devices.erase(it);
            return;
        }
    }
    ADD_FAILURE() << "a device deleted that does not exist";
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING, PUNICODE_STRING) {
    record.events.push_back("link");
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT, const GUID *, PUNICODE_STRING, PUNICODE_STRING link) {
    static wchar_t name[] = L"\\??\\ROOT#ZQLVIRT#0000#{interface}";
    link->Buffer = name;
    link->Length = link->MaximumLength = static_cast<USHORT>(sizeof name - sizeof(wchar_t));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING link, BOOLEAN enable) {
    if (record.locksHeld != 0) {
        ADD_FAILURE() << "the interface changed under a spin lock (it needs passive level)";
    }
    if (link == nullptr || link->Buffer == nullptr) {
        ADD_FAILURE() << "the interface changed through a freed name";
    }
    record.interfaceStates.push_back(enable != FALSE);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT, PDEVICE_OBJECT target) {
    return target;
}

void IoDetachDevice(PDEVICE_OBJECT) {}

// The bus driver below completes what is passed down, as it is.
NTSTATUS IoCallDriver(PDEVICE_OBJECT, PIRP irp) {
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void PoStartNextPowerIrp(PIRP) {}

NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    return IoCallDriver(device, irp);
}

void RtlInitUnicodeString(PUNICODE_STRING string, PCWSTR text) {
    string->Buffer = const_cast<WCHAR *>(text);
    string->Length = string->MaximumLength = static_cast<USHORT>(std::wcslen(text) * sizeof(WCHAR));
}

void RtlFreeUnicodeString(PUNICODE_STRING string) {
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

NTSTATUS RtlCreateAcl(PACL acl, ULONG length, ULONG revision) {
    std::memset(acl, 0, sizeof *acl);
    acl->AclRevision = static_cast<UCHAR>(revision);
    acl->AclSize = static_cast<USHORT>(length);
    standin::acls.emplace_back(acl, std::vector<standin::Ace>{});
    return STATUS_SUCCESS;
}

NTSTATUS RtlAddAccessAllowedAce(PACL acl, ULONG, ACCESS_MASK mask, PSID sid) {
    std::vector<standin::Ace> *entries = standin::AclEntries(acl);
    if (entries == nullptr) {
        ADD_FAILURE() << "an entry added to an access list never made";
        return STATUS_INVALID_PARAMETER;
    }
    entries->push_back({standin::SidText(static_cast<const UCHAR *>(sid)), mask});
    ++acl->AceCount;
    return STATUS_SUCCESS;
}

NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, ULONG revision) {
    auto *sd = static_cast<SECURITY_DESCRIPTOR *>(descriptor);
    *sd = SECURITY_DESCRIPTOR{};
    sd->Revision = static_cast<UCHAR>(revision);
    return STATUS_SUCCESS;
}

NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, BOOLEAN present, PACL acl, BOOLEAN) {
    auto *sd = static_cast<SECURITY_DESCRIPTOR *>(descriptor);
    sd->daclPresent = present != FALSE;
    sd->Dacl = acl;
    return STATUS_SUCCESS;
}

NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG, PACCESS_STATE, ACCESS_MASK access, POBJECT_TYPE, KPROCESSOR_MODE,
                               HANDLE *handle) {
    if ((access & WRITE_DAC) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    *handle = object;
    return STATUS_SUCCESS;
}

NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor) {
    const auto *sd = static_cast<const SECURITY_DESCRIPTOR *>(descriptor);
    if (handle == record.named && (what & DACL_SECURITY_INFORMATION) != 0 && sd->daclPresent) {
        const std::vector<standin::Ace> *entries = standin::AclEntries(sd->Dacl);
        record.dacl = entries != nullptr ? *entries : std::vector<standin::Ace>{};
        record.daclApplied = true;
        record.events.push_back("dacl");
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE) {
    return STATUS_SUCCESS;
}
