/* The virtual Zelqa driver's two faces, shared by the driver (kernel mode)
 * and the host that serves the instrument (user mode). Plain C: the driver
 * includes it with the kernel's headers, the host with windows.h.
 *
 * Applications see the instrument's device interface and its four control
 * requests. The host opens the control device \\.\ZelqaHost, claims it with
 * ZQLHOST_ATTACH, and then loops on ZQLHOST_NEXT: its input is the answer to
 * the previous message, its output the next message (inverted call: the
 * driver pends each application request until the host has answered it). */
#ifndef ZQL_DRIVER_HOST_PROTOCOL_H
#define ZQL_DRIVER_HOST_PROTOCOL_H

/* The control device's names, in the kernel's and in Win32's namespace. */
#define ZQLHOST_DEVICE_NAME L"\\Device\\ZelqaHost"
#define ZQLHOST_LINK_NAME L"\\DosDevices\\ZelqaHost"
#define ZQLHOST_WIN32_PATH "\\\\.\\ZelqaHost"

/* The instrument's device interface class, under which applications look
 * for it: the driver offers it, and the host's own look-ups use it. */
#define ZQL_INTERFACE_CLASS                                                                                            \
    {                                                                                                                  \
        0xD0F40DFC, 0xED5C, 0x4080, {                                                                                  \
            0xBA, 0x0C, 0xDD, 0x1B, 0xAA, 0x4E, 0x8F, 0x2A                                                             \
        }                                                                                                              \
    }

/* The device setup names: the service, and the root-enumerated hardware id. */
#define ZQLDRIVER_SERVICE "zqlvirt"
#define ZQLDRIVER_HARDWARE_ID "root\\zqlvirt"

/* The control requests of the control device: device type 0x22 (unknown),
 * buffered, functions 0x800 and up (the vendor range). The host's own
 * requests need a handle opened for writing; status and sync need none. The
 * control device itself opens only for SYSTEM and Administrators. */
#define ZQLHOST_ANY_ACCESS 0u
#define ZQLHOST_WRITE_ACCESS 2u /* FILE_WRITE_ACCESS */
#define ZQLHOST_CODE_OF(function, access) ((0x22u << 16) | ((unsigned)(access) << 14) | ((unsigned)(function) << 2))
#define ZQLHOST_CODE(function) ZQLHOST_CODE_OF(function, ZQLHOST_WRITE_ACCESS)
#define ZQLHOST_ATTACH ZQLHOST_CODE(0x800)    /* claim the host role; a second host gets STATUS_DEVICE_BUSY */
#define ZQLHOST_NEXT ZQLHOST_CODE(0x801)      /* in: ZqlHostAnswer + bytes; out: ZqlHostMessage + bytes */
#define ZQLHOST_PAYLOAD ZQLHOST_CODE(0x802)   /* in: the message id; out: the request's input bytes */
#define ZQLHOST_INTERFACE ZQLHOST_CODE(0x803) /* in: one byte, 1 enables the interface, 0 disables it */
#define ZQLHOST_STATUS ZQLHOST_CODE_OF(0x804, ZQLHOST_ANY_ACCESS) /* out: ZqlDriverStatus */
/* Completes once the host has answered every earlier message. */
#define ZQLHOST_SYNC ZQLHOST_CODE_OF(0x805, ZQLHOST_ANY_ACCESS)
/* Ends the host's outstanding (or next) ZQLHOST_NEXT with STATUS_CANCELLED,
 * after taking the answer that request carries; the host's own way to stop,
 * since Wine may cancel a request that has just completed and fault. */
#define ZQLHOST_STOP ZQLHOST_CODE(0x806)

/* The largest transfers the driver relays: a command stream fills at most
 * the library's 16,384-byte buffer and its 8 spare bytes (a read request
 * made while the buffer is full goes in the spare); a read asks for at most 65,536 packets of
 * 64 bytes; a raw write carries an FPGA bit stream expanded 24-fold, which
 * 32 MiB holds for any bit stream the instrument's FPGA takes. */
#define ZQL_MAX_STREAM (16384u + 8u)
#define ZQL_MAX_READ (4u * 1024u * 1024u)
#define ZQL_MAX_RAW (32u * 1024u * 1024u)

/* What a message to the host is about. */
enum ZqlMessageKind {
    ZQL_MSG_OPEN = 1,    /* an application opens the instrument; answer with a status */
    ZQL_MSG_CLOSE = 2,   /* an application closed its handle; the answer only acknowledges */
    ZQL_MSG_CONTROL = 3, /* one of the four control requests */
    ZQL_MSG_SYNC = 4     /* ZQLHOST_SYNC: acknowledge */
};

/* The head of every message; the request's input bytes follow when they fit
 * the host's output buffer (flags bit 0 clear), else the host fetches them
 * with ZQLHOST_PAYLOAD. */
typedef struct ZqlHostMessage {
    unsigned int id;        /* names the request in the answer; never 0 */
    unsigned int kind;      /* enum ZqlMessageKind */
    unsigned int handle;    /* the application handle's number (open, close, control) */
    unsigned int code;      /* the control code */
    unsigned int inLength;  /* the request's input length */
    unsigned int outLength; /* the request's output length */
    unsigned int flags;     /* bit 0: the input bytes are not attached */
    unsigned int reserved;
} ZqlHostMessage;
#define ZQL_PAYLOAD_DETACHED 1u

/* The head of the host's answer; `length` bytes of output follow (at most the
 * request's output length), and the request completes with `status` and
 * `information` (capped to the output length). */
typedef struct ZqlHostAnswer {
    unsigned int id;          /* the message answered; 0: none (the first ZQLHOST_NEXT) */
    int status;               /* an NTSTATUS */
    unsigned int information; /* the count the application sees reported */
    unsigned int length;      /* output bytes attached */
} ZqlHostAnswer;

/* The driver's state, for status and for the test bed's leak check. */
typedef struct ZqlDriverStatus {
    unsigned int hostPresent;      /* 1 while a host serves */
    unsigned int interfaceEnabled; /* 1 while applications can find the instrument */
    unsigned int openHandles;      /* application handles open now */
    unsigned int pending;          /* application requests not yet answered */
    unsigned int served;           /* requests answered by hosts since the driver started */
    unsigned int refused;          /* requests refused by the driver itself */
    unsigned int replaced;         /* host answers whose status the driver replaced with a device error */
} ZqlDriverStatus;

#endif
