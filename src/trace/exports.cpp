// The traced exports: the 18 functions of zqlusb.h under their own names,
// each calling the core's export beneath (core_exports.h) and writing one
// kExportCall record when it returns, with its arguments, its result, the
// caller's bytes it read and those it may have changed. Register writes
// (USBSetEPB, USBWriteAddress, USBWriteData) join a kRegisterWrites run.
#include <cstdlib>
#include <cstring>

#include "trace/core_exports.h"
#include "trace/session.h"

using namespace zqltrace;

namespace {

// Ordinals, as in zqlusb.def.
enum Ordinal : std::uint8_t {
    kSetDLLBehaviour = 1,
    kDeviceReady,
    kUSBInitDevice,
    kGetDriverVersion,
    kUSBFlushBuffer,
    kUSBSetEPB,
    kUSBWriteAddress,
    kUSBWriteData,
    kUSBReadData,
    kUSBReadI2CEEPROM,
    kUSBWriteI2CEEPROM,
    kUSBWriteBuffer,
    kUSBLoadFPGA,
    kUSBReadFromEEPROM,
    kUSBReadDataBlock,
    kUSBRetrieveScopeData,
    kUSBRetrieveRollModeData,
    kUSBRetrievePreTriggerData,
};

constexpr std::uint32_t kChannelB = ZQLUSB_CHANNEL_POINTS; // channel B's offset in OutPutData
constexpr std::uint32_t kScopeHeader = 6;                  // DataCount, DataOffset, Step
constexpr int kBlockMax = ZQLUSB_BLOCK_MAX;
constexpr int kPacket = 64; // a block read is rounded up to whole packets

std::uint64_t Pointer(const void *pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer);
}
// Integer arguments, zero-extended from their 32 bits.
std::uint64_t Integer(int value) {
    return static_cast<std::uint32_t>(value);
}
std::uint32_t Result(int value) {
    return static_cast<std::uint32_t>(value);
}

bool Usable(const void *data, int length) {
    return length > 0 && data != nullptr;
}

// A record with arguments only; the common case.
void Call(Ordinal ordinal, int depth, std::uint32_t result, const std::uint64_t *arguments = nullptr, int count = 0) {
    Begin(kExportCall, ordinal, depth);
    if (count != 0) {
        Arguments(arguments, count);
    }
    End(result);
}

std::uint32_t HeaderValue(const unsigned char *at) {
    return static_cast<std::uint32_t>(at[0] | (at[1] << 8));
}

// The positions a scope request writes, A and B: from DataOffset to its last
// point. An invalid request writes nothing.
void ScopeChanged(const unsigned char *header, const OutPutData *record) {
    const std::uint32_t count = HeaderValue(header);
    const std::uint32_t offset = HeaderValue(header + 2);
    const std::uint32_t step = HeaderValue(header + 4);
    if (count == 0 || step == 0 || offset + count > ZQLUSB_CHANNEL_POINTS) {
        return;
    }
    const std::uint32_t span = (count - 1) / step * step + 1;
    Changed(offset, record->TempBufferA + offset, span);
    Changed(kChannelB + offset, record->TempBufferB + offset, span);
}

// The leading positions of both channels: the roll block and the pre-trigger
// memory.
void LeadingChanged(const OutPutData *record, std::uint32_t points) {
    Changed(0, record->TempBufferA, points);
    Changed(kChannelB, record->TempBufferB, points);
}

// The bytes that differ between `before` and `after`, as one run.
void DifferingChanged(const unsigned char *before, const unsigned char *after, std::size_t length) {
    std::size_t first = 0;
    while (first < length && before[first] == after[first]) {
        ++first;
    }
    if (first == length) {
        return;
    }
    std::size_t last = length - 1;
    while (before[last] == after[last]) {
        --last;
    }
    Changed(static_cast<std::uint32_t>(first), after + first, last - first + 1);
}

} // namespace

extern "C" {

ZQLUSB_API void ZQLUSB_CALL SetDLLBehaviour(int behaviour) {
    const int depth = EnterExport();
    zqlcore_SetDLLBehaviour(behaviour);
    const std::uint64_t arguments[] = {Integer(behaviour)};
    Call(kSetDLLBehaviour, depth, 0, arguments, 1);
    LeaveExport();
}

ZQLUSB_API int ZQLUSB_CALL DeviceReady(void) {
    const int depth = EnterExport();
    const int ready = zqlcore_DeviceReady();
    Call(kDeviceReady, depth, Result(ready));
    LeaveExport();
    return ready;
}

ZQLUSB_API int ZQLUSB_CALL USBInitDevice(void) {
    const int depth = EnterExport();
    const int result = zqlcore_USBInitDevice();
    Call(kUSBInitDevice, depth, Result(result));
    LeaveExport();
    return result;
}

ZQLUSB_API void ZQLUSB_CALL GetDriverVersion(DriverVersion *version) {
    const int depth = EnterExport();
    zqlcore_GetDriverVersion(version);
    Begin(kExportCall, kGetDriverVersion, depth);
    const std::uint64_t arguments[] = {Pointer(version)};
    Arguments(arguments, 1);
    if (version != nullptr) {
        Changed(0, version, sizeof *version);
    }
    End(0);
    LeaveExport();
}

ZQLUSB_API void ZQLUSB_CALL USBFlushBuffer(void) {
    const int depth = EnterExport();
    zqlcore_USBFlushBuffer();
    Call(kUSBFlushBuffer, depth, 0);
    LeaveExport();
}

ZQLUSB_API void ZQLUSB_CALL USBSetEPB(void) {
    const int depth = EnterExport();
    zqlcore_USBSetEPB();
    RegisterWrite(kUSBSetEPB, 0, depth);
    LeaveExport();
}

ZQLUSB_API int ZQLUSB_CALL USBWriteAddress(unsigned char address) {
    const int depth = EnterExport();
    const int result = zqlcore_USBWriteAddress(address);
    RegisterWrite(kUSBWriteAddress, address, depth);
    LeaveExport();
    return result;
}

ZQLUSB_API int ZQLUSB_CALL USBWriteData(unsigned char data) {
    const int depth = EnterExport();
    const int result = zqlcore_USBWriteData(data);
    RegisterWrite(kUSBWriteData, data, depth);
    LeaveExport();
    return result;
}

ZQLUSB_API int ZQLUSB_CALL USBReadData(void) {
    const int depth = EnterExport();
    const int value = zqlcore_USBReadData();
    Call(kUSBReadData, depth, Result(value));
    LeaveExport();
    return value;
}

ZQLUSB_API int ZQLUSB_CALL USBReadI2CEEPROM(unsigned int address, unsigned int code) {
    const int depth = EnterExport();
    const int value = zqlcore_USBReadI2CEEPROM(address, code);
    const std::uint64_t arguments[] = {address, code};
    Call(kUSBReadI2CEEPROM, depth, Result(value), arguments, 2);
    LeaveExport();
    return value;
}

ZQLUSB_API int ZQLUSB_CALL USBWriteI2CEEPROM(unsigned int address, unsigned int data, unsigned int code) {
    const int depth = EnterExport();
    const int result = zqlcore_USBWriteI2CEEPROM(address, data, code);
    const std::uint64_t arguments[] = {address, data, code};
    Call(kUSBWriteI2CEEPROM, depth, Result(result), arguments, 3);
    LeaveExport();
    return result;
}

// The driver may answer into the caller's block: its bytes are kept before
// the call, and those that differ after it are recorded as changed.
ZQLUSB_API int ZQLUSB_CALL USBWriteBuffer(unsigned char *Data, int Length) {
    const int depth = EnterExport();
    unsigned char *before = nullptr;
    if (Recording() && Usable(Data, Length)) {
        before = static_cast<unsigned char *>(std::malloc(static_cast<std::size_t>(Length)));
        if (before != nullptr) {
            std::memcpy(before, Data, static_cast<std::size_t>(Length));
        }
    }
    const int result = zqlcore_USBWriteBuffer(Data, Length);
    Begin(kExportCall, kUSBWriteBuffer, depth);
    const std::uint64_t arguments[] = {Pointer(Data), Integer(Length)};
    Arguments(arguments, 2);
    if (before != nullptr) {
        Bytes(kBytesRead, before, static_cast<std::size_t>(Length));
        DifferingChanged(before, Data, static_cast<std::size_t>(Length));
        std::free(before);
    }
    End(Result(result));
    LeaveExport();
    return result;
}

ZQLUSB_API int ZQLUSB_CALL USBLoadFPGA(const unsigned char *Data, int Length) {
    const int depth = EnterExport();
    const int result = zqlcore_USBLoadFPGA(Data, Length);
    Begin(kExportCall, kUSBLoadFPGA, depth);
    const std::uint64_t arguments[] = {Pointer(Data), Integer(Length)};
    Arguments(arguments, 2);
    if (Usable(Data, Length)) {
        Bytes(kBytesRead, Data, static_cast<std::size_t>(Length));
    }
    End(Result(result));
    LeaveExport();
    return result;
}

ZQLUSB_API int ZQLUSB_CALL USBReadFromEEPROM(unsigned short address, unsigned short *ReturnValue) {
    const int depth = EnterExport();
    const int result = zqlcore_USBReadFromEEPROM(address, ReturnValue);
    Begin(kExportCall, kUSBReadFromEEPROM, depth);
    const std::uint64_t arguments[] = {address, Pointer(ReturnValue)};
    Arguments(arguments, 2);
    if (ReturnValue != nullptr) {
        Changed(0, ReturnValue, sizeof *ReturnValue);
    }
    End(Result(result));
    LeaveExport();
    return result;
}

// The read may fill the block up to its length rounded to whole packets.
ZQLUSB_API int ZQLUSB_CALL USBReadDataBlock(unsigned char *Data, int Length) {
    const int depth = EnterExport();
    const int result = zqlcore_USBReadDataBlock(Data, Length);
    Begin(kExportCall, kUSBReadDataBlock, depth);
    const std::uint64_t arguments[] = {Pointer(Data), Integer(Length)};
    Arguments(arguments, 2);
    if (Usable(Data, Length) && Length <= kBlockMax) {
        Changed(0, Data, static_cast<std::size_t>((Length + kPacket - 1) / kPacket * kPacket));
    }
    End(Result(result));
    LeaveExport();
    return result;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrieveScopeData(OutPutData *OutBuffer) {
    const int depth = EnterExport();
    unsigned char header[kScopeHeader] = {};
    if (OutBuffer != nullptr) {
        std::memcpy(header, OutBuffer->TempBufferA, kScopeHeader);
    }
    const int result = zqlcore_USBRetrieveScopeData(OutBuffer);
    Begin(kExportCall, kUSBRetrieveScopeData, depth);
    const std::uint64_t arguments[] = {Pointer(OutBuffer)};
    Arguments(arguments, 1);
    if (OutBuffer != nullptr) {
        Bytes(kBytesRead, header, kScopeHeader);
        ScopeChanged(header, OutBuffer);
    }
    End(Result(result));
    LeaveExport();
    return result;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrieveRollModeData(OutPutData *OutBuffer) {
    const int depth = EnterExport();
    const int result = zqlcore_USBRetrieveRollModeData(OutBuffer);
    Begin(kExportCall, kUSBRetrieveRollModeData, depth);
    const std::uint64_t arguments[] = {Pointer(OutBuffer)};
    Arguments(arguments, 1);
    if (OutBuffer != nullptr) {
        // The count and flag bytes, then the points.
        std::uint32_t points = HeaderValue(OutBuffer->TempBufferA);
        points = points > ZQLUSB_ROLL_MAX_POINTS ? ZQLUSB_ROLL_MAX_POINTS : points;
        LeadingChanged(OutBuffer, 2 + points);
    }
    End(Result(result));
    LeaveExport();
    return result;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrievePreTriggerData(OutPutData *OutBuffer) {
    const int depth = EnterExport();
    const int result = zqlcore_USBRetrievePreTriggerData(OutBuffer);
    Begin(kExportCall, kUSBRetrievePreTriggerData, depth);
    const std::uint64_t arguments[] = {Pointer(OutBuffer)};
    Arguments(arguments, 1);
    if (OutBuffer != nullptr) {
        LeadingChanged(OutBuffer, ZQLUSB_PRETRIGGER_POINTS);
    }
    End(Result(result));
    LeaveExport();
    return result;
}

// The trace DLL's entry point at unload (trace/dll_entry.c).
void ZqlTraceDetach(int processEnding) {
    EndSession(processEnding == 0);
}

// The link query sends nothing and changes no state the session shows, so
// it is passed to the core unrecorded: the trace's calls stay the 18 of the
// original interface.
ZQLUSB_API int ZQLUSB_CALL USBLinkStatus(void) {
    return zqlcore_USBLinkStatus();
}

} // extern "C"
