// What the emulated x86 processor costs: the same calls on the shipping
// 32-bit DLL in the x86 test bed and on the native library, both over the
// virtual instrument, timed round by round in one run so that the machine's
// noise falls on both alike. Prints per-call medians and their ratio; judges
// nothing (a figure, not a test of speed).
// Usage: zqlusb_x86_cost [ROUNDS [WRITES [RECORDS]]]
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "support/library.h"
#include "virtual_instrument/instrument.h"
#include "zqlusb.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Library {
    int(ZQLUSB_CALL *init)();
    int(ZQLUSB_CALL *write)(unsigned char);
    int(ZQLUSB_CALL *retrieve)(OutPutData *);
};

template <typename F> F Symbol(void *handle, const char *name) {
    void *symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        std::fprintf(stderr, "zqlusb_x86_cost: %s has no %s\n", ZQLUSB_NATIVE_LIBRARY, name);
        std::exit(1);
    }
    return reinterpret_cast<F>(symbol);
}

Library Native() {
    void *handle = dlopen(ZQLUSB_NATIVE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "zqlusb_x86_cost: %s\n", dlerror());
        std::exit(1);
    }
    return {Symbol<int(ZQLUSB_CALL *)()>(handle, "USBInitDevice"),
            Symbol<int(ZQLUSB_CALL *)(unsigned char)>(handle, "USBWriteData"),
            Symbol<int(ZQLUSB_CALL *)(OutPutData *)>(handle, "USBRetrieveScopeData")};
}

// Seconds per call of `calls` calls of `call`.
template <typename Call> double PerCall(int calls, Call call) {
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < calls; ++i) {
        call(i);
    }
    return std::chrono::duration<double>(Clock::now() - start).count() / calls;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Row(const char *what, const std::vector<double> &native, const std::vector<double> &emulated) {
    const double n = Median(native), e = Median(emulated);
    std::printf("  %-38s native %9.2f us   emulated %9.2f us   ratio %6.1f\n", what, n * 1e6, e * 1e6, e / n);
}

} // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
    const int writes = argc > 2 ? std::atoi(argv[2]) : 100000;
    const int records = argc > 3 ? std::atoi(argv[3]) : 100;
    const Library native = Native();
    testbed::LoadFreshLibrary();
    if (native.init() != 0 || USBInitDevice() != 0) {
        std::fprintf(stderr, "zqlusb_x86_cost: an instrument did not open\n");
        return 1;
    }
    std::unique_ptr<OutPutData> record(new OutPutData());
    std::vector<double> nativeWrite, emulatedWrite, nativeRecord, emulatedRecord;
    for (int r = 0; r < rounds; ++r) {
        nativeWrite.push_back(PerCall(writes, [&](int i) { native.write(static_cast<unsigned char>(i)); }));
        emulatedWrite.push_back(PerCall(writes, [](int i) { USBWriteData(static_cast<unsigned char>(i)); }));
        nativeRecord.push_back(PerCall(records, [&](int) {
            ZqlusbSetScopeRequest(record.get(), ZQLUSB_CHANNEL_POINTS, 0, 1);
            native.retrieve(record.get());
        }));
        emulatedRecord.push_back(PerCall(records, [&](int) {
            ZqlusbSetScopeRequest(record.get(), ZQLUSB_CHANNEL_POINTS, 0, 1);
            USBRetrieveScopeData(record.get());
        }));
        vi::Device().transfers.clear(); // the emulated side's instrument log; the native one's is small
    }
    std::printf("the x86 DLL in the emulated processor beside the native library, both over the virtual "
                "instrument; medians of %d rounds:\n",
                rounds);
    Row("USBWriteData", nativeWrite, emulatedWrite);
    Row("USBRetrieveScopeData, 32,768 points", nativeRecord, emulatedRecord);
    testbed::UnloadLibrary();
    return 0;
}
