// The 18 exported functions. Each holds the one process-wide lock for the
// whole of its operation, so calls from several threads run one after the
// other and never interleave their commands in the stream.
#include "link/connection.h"
#include "link/operations.h"
#include "zqlusb.h"

namespace zqlusb {
namespace {

// Constant-initialised (constinit: the compiler refuses anything else), so
// nothing runs at load or at unload; in the DLLs a slim reader/writer lock of
// kernel32, since the mutex of the static runtime is built by a constructor.
constinit SRWLOCK ExportLock = SRWLOCK_INIT;

// Holds the lock for the life of the object.
class Hold {
  public:
    explicit Hold(SRWLOCK &lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Hold() { ReleaseSRWLockExclusive(&lock_); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

  private:
    SRWLOCK &lock_;
};

} // namespace
} // namespace zqlusb

using namespace zqlusb;

extern "C" {

ZQLUSB_API void ZQLUSB_CALL SetDLLBehaviour(int behaviour) {
    Hold hold(ExportLock);
    SetBehaviour(behaviour);
}

ZQLUSB_API int ZQLUSB_CALL DeviceReady(void) {
    Hold hold(ExportLock);
    return ProbeReady();
}

ZQLUSB_API int ZQLUSB_CALL USBInitDevice(void) {
    Hold hold(ExportLock);
    return InitDevice();
}

ZQLUSB_API void ZQLUSB_CALL GetDriverVersion(DriverVersion *version) {
    Hold hold(ExportLock);
    StoreDriverVersion(version);
}

ZQLUSB_API void ZQLUSB_CALL USBFlushBuffer(void) {
    Hold hold(ExportLock);
    FlushBuffer();
}

ZQLUSB_API void ZQLUSB_CALL USBSetEPB(void) {
    Hold hold(ExportLock);
    SetEPB();
}

ZQLUSB_API int ZQLUSB_CALL USBWriteAddress(unsigned char address) {
    Hold hold(ExportLock);
    WriteAddress(address);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBWriteData(unsigned char data) {
    Hold hold(ExportLock);
    WriteData(data);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBReadData(void) {
    Hold hold(ExportLock);
    return ReadData();
}

ZQLUSB_API int ZQLUSB_CALL USBReadI2CEEPROM(unsigned int address, unsigned int code) {
    Hold hold(ExportLock);
    return ReadI2CEEPROM(address, code);
}

ZQLUSB_API int ZQLUSB_CALL USBWriteI2CEEPROM(unsigned int address, unsigned int data, unsigned int code) {
    Hold hold(ExportLock);
    return WriteI2CEEPROM(address, data, code);
}

ZQLUSB_API int ZQLUSB_CALL USBWriteBuffer(unsigned char *Data, int Length) {
    Hold hold(ExportLock);
    WriteBuffer(Data, Length);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBLoadFPGA(const unsigned char *Data, int Length) {
    Hold hold(ExportLock);
    LoadFPGA(Data, Length);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBReadFromEEPROM(unsigned short address, unsigned short *ReturnValue) {
    Hold hold(ExportLock);
    ReadFromEEPROM(address, ReturnValue);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBReadDataBlock(unsigned char *Data, int Length) {
    Hold hold(ExportLock);
    ReadDataBlock(Data, Length);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrieveScopeData(OutPutData *OutBuffer) {
    Hold hold(ExportLock);
    RetrieveScopeData(OutBuffer);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrieveRollModeData(OutPutData *OutBuffer) {
    Hold hold(ExportLock);
    RetrieveRollModeData(OutBuffer);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrievePreTriggerData(OutPutData *OutBuffer) {
    Hold hold(ExportLock);
    RetrievePreTriggerData(OutBuffer);
    return 0;
}

} // extern "C"
