// The exported functions: the 18 of the original interface and the link
// query behind them. Each holds the one process-wide lock for the
// whole of its operation, so calls from several threads run one after the
// other and never interleave their commands in the stream. The lock is
// re-entrant: a call from the thread that holds it runs at once. That thread
// is inside the retry dialog, whose message loop runs the application's
// window procedures; they may call the library again, and must not wait for
// a lock their own thread holds.
#include "api/operations.h"
#include "link/connection.h"
#include "zqlusb.h"

namespace zqlusb {
namespace {

// Thread ids are never 0, so 0 says that no thread holds the lock.
constexpr THREAD_ID kNoOwner = 0;

// The lock, its holder and how many calls of the holder are running.
// Constant-initialised (constinit: the compiler refuses anything else), so
// nothing runs at load or at unload; in the DLLs a slim reader/writer lock of
// kernel32, since the mutex of the static runtime is built by a constructor.
// Only the holder writes the owner and the depth; another thread may read the
// owner while it changes, and then sees a value that is not its own id.
struct ExportLock {
    SRWLOCK lock;
    THREAD_ID owner;
    int depth;
};
constinit ExportLock Exports = {SRWLOCK_INIT, kNoOwner, 0};

// Holds the lock for the life of the object, or joins the calls of this
// thread that already hold it.
class Hold {
  public:
    Hold() {
        const THREAD_ID self = GetCurrentThreadId();
        if (__atomic_load_n(&Exports.owner, __ATOMIC_RELAXED) != self) {
            AcquireSRWLockExclusive(&Exports.lock);
            __atomic_store_n(&Exports.owner, self, __ATOMIC_RELAXED);
        }
        ++Exports.depth;
    }
    ~Hold() {
        if (--Exports.depth == 0) {
            __atomic_store_n(&Exports.owner, kNoOwner, __ATOMIC_RELAXED);
            ReleaseSRWLockExclusive(&Exports.lock);
        }
    }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
};

} // namespace
} // namespace zqlusb

using namespace zqlusb;

extern "C" {

ZQLUSB_API void ZQLUSB_CALL SetDLLBehaviour(int behaviour) {
    Hold hold;
    SetBehaviour(behaviour);
}

ZQLUSB_API int ZQLUSB_CALL DeviceReady(void) {
    Hold hold;
    return ProbeReady();
}

ZQLUSB_API int ZQLUSB_CALL USBInitDevice(void) {
    Hold hold;
    return InitDevice();
}

ZQLUSB_API void ZQLUSB_CALL GetDriverVersion(DriverVersion *version) {
    Hold hold;
    StoreDriverVersion(version);
}

ZQLUSB_API void ZQLUSB_CALL USBFlushBuffer(void) {
    Hold hold;
    FlushBuffer();
}

ZQLUSB_API void ZQLUSB_CALL USBSetEPB(void) {
    Hold hold;
    SetEPB();
}

ZQLUSB_API int ZQLUSB_CALL USBWriteAddress(unsigned char address) {
    Hold hold;
    WriteAddress(address);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBWriteData(unsigned char data) {
    Hold hold;
    WriteData(data);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBReadData(void) {
    Hold hold;
    return ReadData();
}

ZQLUSB_API int ZQLUSB_CALL USBReadI2CEEPROM(unsigned int address, unsigned int code) {
    Hold hold;
    return ReadI2CEEPROM(address, code);
}

ZQLUSB_API int ZQLUSB_CALL USBWriteI2CEEPROM(unsigned int address, unsigned int data, unsigned int code) {
    Hold hold;
    return WriteI2CEEPROM(address, data, code);
}

ZQLUSB_API int ZQLUSB_CALL USBWriteBuffer(unsigned char *Data, int Length) {
    Hold hold;
    WriteBuffer(Data, Length);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBLoadFPGA(const unsigned char *Data, int Length) {
    Hold hold;
    LoadFPGA(Data, Length);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBReadFromEEPROM(unsigned short address, unsigned short *ReturnValue) {
    Hold hold;
    ReadFromEEPROM(address, ReturnValue);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBReadDataBlock(unsigned char *Data, int Length) {
    Hold hold;
    ReadDataBlock(Data, Length);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrieveScopeData(OutPutData *OutBuffer) {
    Hold hold;
    RetrieveScopeData(OutBuffer);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrieveRollModeData(OutPutData *OutBuffer) {
    Hold hold;
    RetrieveRollModeData(OutBuffer);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBRetrievePreTriggerData(OutPutData *OutBuffer) {
    Hold hold;
    RetrievePreTriggerData(OutBuffer);
    return 0;
}

ZQLUSB_API int ZQLUSB_CALL USBLinkStatus(void) {
    Hold hold;
    return LinkStatus();
}

} // extern "C"
