// The exported functions as the tests call them: each forwards to the export
// of the same name in the library loaded for the current test.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/library.h"
#if defined(ZQLUSB_X86_EMULATED)
#include "support/emulated_calls.h"
#endif
#include "zqlusb.h"

namespace {

template <typename Function> Function Resolve(const char *name, Function &cached, int &generation) {
    if (generation != testbed::LoadGeneration()) {
        cached = reinterpret_cast<Function>(testbed::LibraryExport(name));
        generation = testbed::LoadGeneration();
        if (cached == nullptr) {
            std::fprintf(stderr, "test bed: the library does not export %s\n", name);
            std::abort();
        }
    }
    return cached;
}

// The test bed's work before and after each call (library.h).
class AroundCall {
  public:
    explicit AroundCall(const char *name) : appendOnly_(IsAppend(name)) { testbed::BeforeCall(); }
    ~AroundCall() { testbed::AfterCall(appendOnly_); }
    AroundCall(const AroundCall &) = delete;
    AroundCall &operator=(const AroundCall &) = delete;

  private:
    // The calls that only append to the pending commands, unless the buffer fills.
    static bool IsAppend(const char *name) {
        return std::strcmp(name, "USBWriteAddress") == 0 || std::strcmp(name, "USBWriteData") == 0 ||
               std::strcmp(name, "USBSetEPB") == 0;
    }
    bool appendOnly_;
};

} // namespace

#if defined(ZQLUSB_X86_EMULATED)
// The 32-bit DLL runs in the emulated processor: each call's arguments are
// pushed and its records staged in emulated memory (support/emulated_calls.h).
#define ZQL_FORWARD(result, name, params, args)                                                                        \
    extern "C" result ZQLUSB_CALL name params {                                                                        \
        AroundCall around(#name);                                                                                      \
        return static_cast<result>(testbed::emulated::Call(#name, std::make_tuple args));                              \
    }
#else
#define ZQL_FORWARD(result, name, params, args)                                                                        \
    extern "C" result ZQLUSB_CALL name params {                                                                        \
        using Function = result(ZQLUSB_CALL *) params;                                                                 \
        static Function cached = nullptr;                                                                              \
        static int generation = 0;                                                                                     \
        AroundCall around(#name);                                                                                      \
        return Resolve<Function>(#name, cached, generation) args;                                                      \
    }
#endif

ZQL_FORWARD(void, SetDLLBehaviour, (int behaviour), (behaviour))
ZQL_FORWARD(int, DeviceReady, (void), ())
ZQL_FORWARD(int, USBInitDevice, (void), ())
ZQL_FORWARD(void, GetDriverVersion, (DriverVersion * version), (version))
ZQL_FORWARD(void, USBFlushBuffer, (void), ())
ZQL_FORWARD(void, USBSetEPB, (void), ())
ZQL_FORWARD(int, USBWriteAddress, (unsigned char address), (address))
ZQL_FORWARD(int, USBWriteData, (unsigned char data), (data))
ZQL_FORWARD(int, USBReadData, (void), ())
ZQL_FORWARD(int, USBReadI2CEEPROM, (unsigned int address, unsigned int code), (address, code))
ZQL_FORWARD(int, USBWriteI2CEEPROM, (unsigned int address, unsigned int data, unsigned int code), (address, data, code))
ZQL_FORWARD(int, USBWriteBuffer, (unsigned char *Data, int Length), (Data, Length))
ZQL_FORWARD(int, USBLoadFPGA, (const unsigned char *Data, int Length), (Data, Length))
ZQL_FORWARD(int, USBReadFromEEPROM, (unsigned short address, unsigned short *ReturnValue), (address, ReturnValue))
ZQL_FORWARD(int, USBReadDataBlock, (unsigned char *Data, int Length), (Data, Length))
ZQL_FORWARD(int, USBRetrieveScopeData, (OutPutData * OutBuffer), (OutBuffer))
ZQL_FORWARD(int, USBRetrieveRollModeData, (OutPutData * OutBuffer), (OutBuffer))
ZQL_FORWARD(int, USBRetrievePreTriggerData, (OutPutData * OutBuffer), (OutBuffer))
// The extension behind the 18: plain scalars only, like DeviceReady.
ZQL_FORWARD(int, USBLinkStatus, (void), ())
