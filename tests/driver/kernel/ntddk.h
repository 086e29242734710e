// A stand-in for the kernel, just large enough to compile the virtual Zelqa
// driver (driver/zqlvirt_*.cpp) unchanged as a native program: the types,
// constants and calls it uses, with the same names and meanings. The calls
// are implemented in standin_kernel.cpp, which records what the driver did
// and lets a test run other requests at each release of the driver's lock
// (the points where the I/O manager may interleave another thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#define NTAPI
#define VOID void
#define TRUE 1
#define FALSE 0
#define IN
#define OUT

typedef std::int32_t LONG;
typedef std::uint32_t ULONG;
typedef ULONG *PULONG;
typedef std::uint16_t USHORT;
typedef std::uint8_t UCHAR;
typedef UCHAR BOOLEAN;
typedef std::uintptr_t ULONG_PTR;
typedef void *PVOID;
typedef void *HANDLE;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL *PKIRQL;
typedef ULONG ACCESS_MASK;
typedef ULONG SECURITY_INFORMATION;
typedef wchar_t WCHAR;
typedef const WCHAR *PCWSTR;
typedef char CCHAR;
typedef int KPROCESSOR_MODE;

#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_REPARSE = 0x00000104;
constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000E);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS STATUS_ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = static_cast<NTSTATUS>(0xC000009D);
constexpr NTSTATUS STATUS_DEVICE_BUSY = static_cast<NTSTATUS>(0x80000011);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = static_cast<NTSTATUS>(0xC0000185);
constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = static_cast<NTSTATUS>(0xC0000206);
constexpr NTSTATUS STATUS_NOT_FOUND = static_cast<NTSTATUS>(0xC0000225);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);

#define CONTAINING_RECORD(address, type, field)                                                                        \
    (reinterpret_cast<type *>(reinterpret_cast<char *>(address) - offsetof(type, field)))

struct LIST_ENTRY {
    LIST_ENTRY *Flink;
    LIST_ENTRY *Blink;
};
typedef LIST_ENTRY *PLIST_ENTRY;
inline void InitializeListHead(PLIST_ENTRY head) {
    head->Flink = head->Blink = head;
}
inline bool IsListEmpty(const LIST_ENTRY *head) {
    return head->Flink == head;
}
inline void RemoveEntryList(PLIST_ENTRY entry) {
    entry->Blink->Flink = entry->Flink;
    entry->Flink->Blink = entry->Blink;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};

struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    WCHAR *Buffer;
};
typedef UNICODE_STRING *PUNICODE_STRING;

union LARGE_INTEGER {
    std::int64_t QuadPart;
};

struct KSPIN_LOCK {
    bool held;
};

struct DEVICE_OBJECT;
struct DRIVER_OBJECT;
struct IRP;
typedef DEVICE_OBJECT *PDEVICE_OBJECT;
typedef DRIVER_OBJECT *PDRIVER_OBJECT;
typedef IRP *PIRP;
typedef NTSTATUS (*PDRIVER_DISPATCH)(PDEVICE_OBJECT, PIRP);
typedef void (*PDRIVER_CANCEL)(PDEVICE_OBJECT, PIRP);
typedef NTSTATUS (*PDRIVER_ADD_DEVICE)(PDRIVER_OBJECT, PDEVICE_OBJECT);
typedef void (*PDRIVER_UNLOAD)(PDRIVER_OBJECT);

struct DEVICE_OBJECT {
    ULONG Flags;
    PDRIVER_OBJECT DriverObject;
    int id; // the stand-in's own name for it
};

struct FILE_OBJECT {
    PVOID FsContext;
    PVOID FsContext2;
};
typedef FILE_OBJECT *PFILE_OBJECT;

constexpr int IRP_MJ_CREATE = 0x00;
constexpr int IRP_MJ_CLOSE = 0x02;
constexpr int IRP_MJ_DEVICE_CONTROL = 0x0e;
constexpr int IRP_MJ_CLEANUP = 0x12;
constexpr int IRP_MJ_POWER = 0x16;
constexpr int IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr int IRP_MJ_PNP = 0x1b;
constexpr int IRP_MJ_MAXIMUM_FUNCTION = 0x1b;
constexpr int IRP_MN_START_DEVICE = 0x00;
constexpr int IRP_MN_REMOVE_DEVICE = 0x02;

struct DRIVER_EXTENSION {
    PDRIVER_ADD_DEVICE AddDevice;
};
struct DRIVER_OBJECT {
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    DRIVER_EXTENSION *DriverExtension;
    PDRIVER_UNLOAD DriverUnload;
};

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    PFILE_OBJECT FileObject;
    struct {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
        } DeviceIoControl;
    } Parameters;
};
typedef IO_STACK_LOCATION *PIO_STACK_LOCATION;

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};

struct IRP {
    IO_STATUS_BLOCK IoStatus;
    struct {
        PVOID SystemBuffer;
    } AssociatedIrp;
    struct {
        struct {
            PVOID DriverContext[4];
            LIST_ENTRY ListEntry;
        } Overlay;
    } Tail;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PDRIVER_CANCEL CancelRoutine;
    // The stand-in's own: its one stack location and what became of it.
    IO_STACK_LOCATION stack;
    bool pendingMarked;
    int completions;
    bool freed;
};

constexpr CCHAR IO_NO_INCREMENT = 0;
constexpr ULONG FILE_DEVICE_UNKNOWN = 0x22;
constexpr ULONG FILE_DEVICE_SECURE_OPEN = 0x100;
constexpr ULONG DO_BUFFERED_IO = 0x4;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x80;
constexpr KPROCESSOR_MODE KernelMode = 0;

// Security: an access list is the stand-in's record of its entries.
constexpr ULONG ACL_REVISION = 2;
constexpr ULONG SECURITY_DESCRIPTOR_REVISION = 1;
constexpr ACCESS_MASK FILE_ALL_ACCESS = 0x001F01FF;
constexpr ACCESS_MASK WRITE_DAC = 0x00040000;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;
constexpr SECURITY_INFORMATION DACL_SECURITY_INFORMATION = 0x4;
struct ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
};
typedef ACL *PACL;
typedef void *PSID;
struct SECURITY_DESCRIPTOR {
    UCHAR Revision;
    PACL Dacl;
    bool daclPresent;
};
typedef void *PSECURITY_DESCRIPTOR;
typedef void *POBJECT_TYPE;
typedef void *PACCESS_STATE;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) {
    return &irp->stack;
}
inline void IoMarkIrpPending(PIRP irp) {
    irp->pendingMarked = true;
}
inline void IoSkipCurrentIrpStackLocation(PIRP) {}
inline void RtlZeroMemory(void *to, std::size_t n) {
    std::memset(to, 0, n);
}
// As the kernel's: copying nothing from no buffer is allowed.
inline void RtlCopyMemory(void *to, const void *from, std::size_t n) {
    if (n != 0) {
        std::memcpy(to, from, n);
    }
}
inline LONG InterlockedIncrement(volatile LONG *value) {
    const LONG next = *value + 1;
    *value = next;
    return next;
}

void KeInitializeSpinLock(KSPIN_LOCK *lock);
void KeAcquireSpinLock(KSPIN_LOCK *lock, PKIRQL irql);
void KeReleaseSpinLock(KSPIN_LOCK *lock, KIRQL irql);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE mode, BOOLEAN alertable, LARGE_INTEGER *interval);
PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine);
void IoReleaseCancelSpinLock(KIRQL irql);
void IoCompleteRequest(PIRP irp, CCHAR boost);
PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extension, PUNICODE_STRING name, ULONG type, ULONG characteristics,
                        BOOLEAN exclusive, PDEVICE_OBJECT *device);
void IoDeleteDevice(PDEVICE_OBJECT device);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING name);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING link);
NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT pdo, const GUID *guid, PUNICODE_STRING reference,
                                   PUNICODE_STRING link);
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING link, BOOLEAN enable);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
void IoDetachDevice(PDEVICE_OBJECT target);
NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp);
void PoStartNextPowerIrp(PIRP irp);
NTSTATUS PoCallDriver(PDEVICE_OBJECT device, PIRP irp);
void RtlInitUnicodeString(PUNICODE_STRING string, PCWSTR text);
void RtlFreeUnicodeString(PUNICODE_STRING string);
NTSTATUS RtlCreateAcl(PACL acl, ULONG length, ULONG revision);
NTSTATUS RtlAddAccessAllowedAce(PACL acl, ULONG revision, ACCESS_MASK mask, PSID sid);
NTSTATUS RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, ULONG revision);
NTSTATUS RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, BOOLEAN present, PACL acl, BOOLEAN defaulted);
NTSTATUS ObOpenObjectByPointer(PVOID object, ULONG attributes, PACCESS_STATE state, ACCESS_MASK access,
                               POBJECT_TYPE type, KPROCESSOR_MODE mode, HANDLE *handle);
NTSTATUS ZwSetSecurityObject(HANDLE handle, SECURITY_INFORMATION what, PSECURITY_DESCRIPTOR descriptor);
NTSTATUS ZwClose(HANDLE handle);
