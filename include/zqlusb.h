/*
 * zqlusb: control library of the Zelqa two-channel USB oscilloscope.
 *
 * Applications load zqlusb.dll and call the functions below to open the
 * instrument's driver, send register writes as a buffered command stream,
 * load the FPGA, access the two configuration EEPROMs and fetch captured
 * waveforms into a caller-owned two-channel record.
 *
 * The library is the transport only. Timebase, input range, trigger and
 * arming are registers of the instrument's FPGA, whose meaning belongs to the
 * FPGA configuration loaded, not to this library: write them with
 * USBWriteAddress and USBWriteData. One instrument per process: USBInitDevice
 * opens the first one found, and it stays open for the life of the process.
 *
 * All functions run to completion on the caller's thread. Failures are
 * plain integer results; the 18 original functions never report a failed
 * transfer: reads return stale data or zeros and writes return as if they
 * had succeeded. USBLinkStatus, an extension at the end of this header,
 * tells the link's state after any call.
 *
 * Threads: every function holds one process-wide lock from entry to return,
 * so calls from several threads run one after the other and the commands of
 * one call are never interleaved with another's. The retry dialog of dialog
 * mode is shown while that lock is held: until the user answers it, every
 * other thread that calls into the library waits. The lock is re-entrant: a
 * call from the thread that shows the dialog (from a window procedure that
 * the dialog's message loop runs, say) runs at once, inside the call that
 * failed, on the library's state as it is at that moment:
 *   - register writes join the pending commands, the failed ones included:
 *     Retry sends them all, Cancel drops them all;
 *   - a call that sends the stream (a flush, a read) sends the failed
 *     commands ahead of its own; when that succeeds, Retry has nothing left
 *     to repeat. While the dialog of a call that reads is shown, that
 *     call's read request is held back: a read inside the dialog sends only
 *     its own request and receives its own data, and Retry then sends the
 *     held request again (behind any commands added meanwhile), so that the
 *     call that showed the dialog receives its own data too; after Cancel it
 *     reads nothing, as whenever the link has failed;
 *   - a failure inside it follows the same recovery rules, with a dialog of
 *     its own; its Cancel closes the device and drops all pending commands.
 */
#ifndef ZQLUSB_H
#define ZQLUSB_H

#include <stddef.h>

#if defined(_WIN32)
#define ZQLUSB_CALL __stdcall
#else
#define ZQLUSB_CALL
#endif

/* Exports are named by zqlusb.def on Windows; elsewhere by visibility. */
#if !defined(_WIN32) && defined(ZQLUSB_BUILDING_LIBRARY)
#define ZQLUSB_API __attribute__((visibility("default")))
#else
#define ZQLUSB_API
#endif

/* Checks of the record layouts, in every language version the header
 * serves (C89 to C11, C++98 on): where the language has no static assertion,
 * an array type whose size is negative when the condition fails. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define ZQLUSB_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZQLUSB_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define ZQLUSB_STATIC_ASSERT(cond, name) typedef char zqlusb_check_##name[(cond) ? 1 : -1]
#endif

/* The helpers below are defined here, for C89 compilers too. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define ZQLUSB_INLINE static inline
#elif defined(__GNUC__)
#define ZQLUSB_INLINE static __inline__
#elif defined(_MSC_VER)
#define ZQLUSB_INLINE static __inline
#else
#define ZQLUSB_INLINE static
#endif

#ifdef __cplusplus
#define ZQLUSB_BYTE(value) static_cast<unsigned char>(value)
extern "C" {
#else
#define ZQLUSB_BYTE(value) ((unsigned char)(value))
#endif

/* Version of the instrument's driver, as GetDriverVersion reports it. */
typedef struct DriverVersion {
    unsigned char MajorVersion;
    unsigned char MinorVersion;
} DriverVersion;

/* Points held per channel in OutPutData. */
#define ZQLUSB_CHANNEL_POINTS 32768

/*
 * The two-channel result record, owned by the caller. Point i is the pair
 * TempBufferA[i] (channel A) and TempBufferB[i] (channel B), unsigned
 * 8-bit samples. Acquisition calls write only the positions they fill.
 */
typedef struct OutPutData {
    unsigned char TempBufferA[ZQLUSB_CHANNEL_POINTS];
    unsigned char TempBufferB[ZQLUSB_CHANNEL_POINTS];
} OutPutData;

ZQLUSB_STATIC_ASSERT(sizeof(DriverVersion) == 2, DriverVersion_is_two_bytes);
ZQLUSB_STATIC_ASSERT(offsetof(DriverVersion, MinorVersion) == 1, MinorVersion_follows_MajorVersion);
ZQLUSB_STATIC_ASSERT(sizeof(OutPutData) == 65536, OutPutData_is_65536_bytes);
ZQLUSB_STATIC_ASSERT(offsetof(OutPutData, TempBufferB) == 32768, channel_B_follows_channel_A);

/* The most points one roll-mode block holds: 64 packets of 21 points. */
#define ZQLUSB_ROLL_MAX_POINTS 1344

/* Points of the pre-trigger memory that USBRetrievePreTriggerData copies. */
#define ZQLUSB_PRETRIGGER_POINTS 32000

/* Result of USBInitDevice when the instrument could not be opened. */
#define ZQLUSB_INIT_FAILED 256

/* Results of the I2C EEPROM calls when the confirmation code is wrong. */
#define ZQLUSB_I2C_READ_REFUSED 2730
#define ZQLUSB_I2C_WRITE_REFUSED 1365

/* The longest block USBReadDataBlock reads: 65,536 packets of 64 bytes. */
#define ZQLUSB_BLOCK_MAX 4194304

/*
 * The confirmation code that the I2C EEPROM calls require with an address:
 * the bits of the address's low 16 bits that ZQLUSB_I2C_CODE_MASK selects,
 * plus the mask's complement in 16 bits. The two share no bit, so the sum
 * never carries and the code always fits in 16 bits.
 */
#define ZQLUSB_I2C_CODE_MASK 0x6C35u
ZQLUSB_INLINE unsigned int ZqlusbI2CConfirmationCode(unsigned int address) {
    return (address & ZQLUSB_I2C_CODE_MASK) + (~ZQLUSB_I2C_CODE_MASK & 0xFFFFu);
}

/* --- Device connection and link recovery --------------------------------- */

/* Bit 0 set switches dialog mode on: a failed write then reconnects once
 * silently and afterwards asks the user whether to retry. Nothing switches
 * it off again. */
ZQLUSB_API void ZQLUSB_CALL SetDLLBehaviour(int behaviour);

/* 1 when the instrument is present and ready, else 0. */
ZQLUSB_API int ZQLUSB_CALL DeviceReady(void);

/* Opens (or reopens) the first instrument: 0 on success, 256 on failure.
 * Pending commands stay pending across a reopen. */
ZQLUSB_API int ZQLUSB_CALL USBInitDevice(void);

/* Stores the driver version (1.3) into *version; a null pointer is ignored. */
ZQLUSB_API void ZQLUSB_CALL GetDriverVersion(DriverVersion *version);

/* --- Command stream ------------------------------------------------------- */

/* Sends the pending commands in one transfer; nothing when none are pending. */
ZQLUSB_API void ZQLUSB_CALL USBFlushBuffer(void);

/* Appends the EPB command. */
ZQLUSB_API void ZQLUSB_CALL USBSetEPB(void);

/* Append a register address or data write; the stream is sent when it
 * reaches 16,384 bytes, before a read, or by USBFlushBuffer. The result
 * carries no meaning. */
ZQLUSB_API int ZQLUSB_CALL USBWriteAddress(unsigned char address);
ZQLUSB_API int ZQLUSB_CALL USBWriteData(unsigned char data);

/* --- Basic transfers ------------------------------------------------------ */

/* Sends the pending commands with a byte read request and returns the byte
 * the instrument holds ready, 0 to 255; 0 when no byte arrives. */
ZQLUSB_API int ZQLUSB_CALL USBReadData(void);

/* Reads a block into Data. Length is rounded up to whole packets of 64
 * bytes and Data must hold the rounded length. Refused, with nothing sent,
 * for a negative Length, one above ZQLUSB_BLOCK_MAX, or a null Data with a
 * Length above 0. The result carries no meaning. */
ZQLUSB_API int ZQLUSB_CALL USBReadDataBlock(unsigned char *Data, int Length);

/* Sends the pending commands, then Length bytes of Data to the instrument
 * unchanged. Refused, with nothing sent, for a negative Length or a null
 * Data with a Length above 0. Returns 0; a failed write shows only in the
 * link-failed state. */
ZQLUSB_API int ZQLUSB_CALL USBWriteBuffer(unsigned char *Data, int Length);

/* --- Configuration memories and FPGA -------------------------------------- */

/* Reads the I2C EEPROM byte at the low 16 bits of address: 0 to 255 (0 when
 * no byte arrives), or ZQLUSB_I2C_READ_REFUSED, with nothing sent, when code
 * is not ZqlusbI2CConfirmationCode(address). */
ZQLUSB_API int ZQLUSB_CALL USBReadI2CEEPROM(unsigned int address, unsigned int code);

/* Writes the low 8 bits of data to the I2C EEPROM byte at the low 16 bits of
 * address, after the pending commands: 0, or ZQLUSB_I2C_WRITE_REFUSED, with
 * nothing sent, when code is not ZqlusbI2CConfirmationCode(address). */
ZQLUSB_API int ZQLUSB_CALL USBWriteI2CEEPROM(unsigned int address, unsigned int data, unsigned int code);

/* Sends the pending commands, then loads Length bytes of FPGA configuration
 * bit stream, most significant bit of each byte first. Refused, with nothing
 * sent, for a negative Length or a null Data with a Length above 0; when the
 * expanded stream (24 bytes per input byte) cannot be held, only the pending
 * commands are sent. The result carries no meaning. */
ZQLUSB_API int ZQLUSB_CALL USBLoadFPGA(const unsigned char *Data, int Length);

/* Reads word address (bits 0-5: words 0 to 63) of the serial EEPROM into
 * *ReturnValue. Refused, with nothing sent, for a null ReturnValue. The
 * result carries no meaning. */
ZQLUSB_API int ZQLUSB_CALL USBReadFromEEPROM(unsigned short address, unsigned short *ReturnValue);

/* --- Acquisition retrieval -------------------------------------------------
 * Each takes the caller's OutPutData and writes only the positions that it
 * fills; every other byte keeps its content. Pending commands go out ahead of
 * the read request, in the same transfer. A null OutBuffer is refused before
 * anything is sent. The result carries no meaning. While the link has failed
 * no data are read: the scope record and the pre-trigger points are then
 * copied from what the library's receive buffer holds from an earlier read
 * (zeros before the first), and roll mode reports 0 points. */

/* A captured record. Input, little-endian 16-bit in TempBufferA:
 *   bytes 0-1 DataCount  (span of output indices to cover),
 *   bytes 2-3 DataOffset (output index of the first point),
 *   bytes 4-5 Step       (distance between consecutive points).
 * Output: point k at index DataOffset + k * Step of both channels, for every
 * such index below DataOffset + DataCount; output that reaches bytes 0-5
 * overwrites the header. Refused (nothing sent, record untouched) when Step
 * is 0 with DataCount of 1 or more, or DataOffset + DataCount > 32,768.
 * Step spreads the instrument's consecutive points over the record: point k
 * is the k-th point captured, stored Step indices after point k - 1; no
 * sample is skipped. Since the points overwrite the header, a second call on
 * the same record needs a fresh request (ZqlusbSetScopeRequest again). */
ZQLUSB_API int ZQLUSB_CALL USBRetrieveScopeData(OutPutData *OutBuffer);

/* Whether a request fits what USBRetrieveScopeData takes: ZQLUSB_REQUEST_FITS,
 * or the first reason why not. */
#define ZQLUSB_REQUEST_FITS 0
#define ZQLUSB_REQUEST_NOT_16_BITS 1  /* a value above 65,535: the header holds 16 bits each */
#define ZQLUSB_REQUEST_PAST_THE_END 2 /* DataOffset + DataCount above 32,768 */
#define ZQLUSB_REQUEST_NO_STEP 3      /* Step 0 with DataCount of 1 or more */
ZQLUSB_INLINE int ZqlusbCheckScopeRequest(unsigned int DataCount, unsigned int DataOffset, unsigned int Step) {
    if (DataCount > 0xFFFFu || DataOffset > 0xFFFFu || Step > 0xFFFFu) {
        return ZQLUSB_REQUEST_NOT_16_BITS;
    }
    if (DataOffset + DataCount > ZQLUSB_CHANNEL_POINTS) {
        return ZQLUSB_REQUEST_PAST_THE_END;
    }
    if (Step == 0 && DataCount > 0) {
        return ZQLUSB_REQUEST_NO_STEP;
    }
    return ZQLUSB_REQUEST_FITS;
}

/* A sentence for a result of ZqlusbCheckScopeRequest. */
ZQLUSB_INLINE const char *ZqlusbScopeRequestText(int check) {
    switch (check) {
    case ZQLUSB_REQUEST_FITS:
        return "the request fits";
    case ZQLUSB_REQUEST_NOT_16_BITS:
        return "DataCount, DataOffset and Step must each be at most 65535";
    case ZQLUSB_REQUEST_PAST_THE_END:
        return "DataOffset + DataCount must be at most 32768, the points of the record";
    case ZQLUSB_REQUEST_NO_STEP:
        return "Step must be 1 or more when DataCount is";
    default:
        return "not a result of ZqlusbCheckScopeRequest";
    }
}

/* Writes the request of USBRetrieveScopeData into bytes 0-5 of TempBufferA:
 * DataCount, DataOffset and Step, each as 16 bits, little-endian, and returns
 * ZqlusbCheckScopeRequest's result. A request that does not fit is not cut
 * to size: the helper then writes one that the library refuses (DataCount
 * and DataOffset 65,535), so that a call made anyway leaves the record
 * untouched. */
ZQLUSB_INLINE int ZqlusbSetScopeRequest(OutPutData *record, unsigned int DataCount, unsigned int DataOffset,
                                        unsigned int Step) {
    unsigned int values[3];
    int i;
    const int check = ZqlusbCheckScopeRequest(DataCount, DataOffset, Step);
    values[0] = check == ZQLUSB_REQUEST_FITS ? DataCount : 0xFFFFu;
    values[1] = check == ZQLUSB_REQUEST_FITS ? DataOffset : 0xFFFFu;
    values[2] = check == ZQLUSB_REQUEST_FITS ? Step : 0u;
    for (i = 0; i < 3; ++i) {
        record->TempBufferA[2 * i] = ZQLUSB_BYTE(values[i] & 0xFFu);
        record->TempBufferA[2 * i + 1] = ZQLUSB_BYTE((values[i] >> 8) & 0xFFu);
    }
    return check;
}

/* One block of the roll-mode stream, at most ZQLUSB_ROLL_MAX_POINTS
 * (1,344) points. Output:
 *   TempBufferA bytes 0-1      n, the number of points, little-endian,
 *   TempBufferB byte 0         1 if the instrument marked the data invalid, else 0,
 *   indices 2 to n + 1         the points, in stream order.
 * TempBufferB byte 1 and indices from n + 2 on are not written. */
ZQLUSB_API int ZQLUSB_CALL USBRetrieveRollModeData(OutPutData *OutBuffer);

/* The pre-trigger memory: ZQLUSB_PRETRIGGER_POINTS (32,000) points at
 * indices 0 to 31,999 of both channels; indices from 32,000 on are not
 * written. */
ZQLUSB_API int ZQLUSB_CALL USBRetrievePreTriggerData(OutPutData *OutBuffer);

/* --- Extension: the link's state (ordinal 19) -----------------------------
 * Not one of the 18 original exports, which report no failed transfer: a
 * write that fails returns as if it had succeeded, a read while the link has
 * failed returns stale data or zeros, and a roll block read then holds 0
 * points like an empty one. USBLinkStatus tells these apart. Call it after
 * an operation; the result is 0 when all went well, else the sum of:
 *   ZQLUSB_LINK_FAILED       the link is in its failed state now: reads
 *                            send nothing until a write succeeds again;
 *   ZQLUSB_LINK_READ_MISSED  the last read request brought no data from the
 *                            instrument: the link had failed, so the read
 *                            was skipped, or the read transfer itself failed
 *                            (the instrument was unplugged after the
 *                            request went out, say); what that read returned
 *                            is not a measurement;
 *   ZQLUSB_LINK_WRITE_LOST   since the previous USBLinkStatus call, a write
 *                            transfer failed for good: its commands were
 *                            dropped (or, in dialog mode, the user chose
 *                            Cancel). Reporting it clears it.
 * It sends nothing to the instrument and changes nothing else. A library
 * without this export (an older zqlusb.dll) is told by its absence:
 * GetProcAddress returns NULL for it. */
#define ZQLUSB_LINK_FAILED 1
#define ZQLUSB_LINK_READ_MISSED 2
#define ZQLUSB_LINK_WRITE_LOST 4
ZQLUSB_API int ZQLUSB_CALL USBLinkStatus(void);

#ifdef __cplusplus
}
#endif

#endif /* ZQLUSB_H */
