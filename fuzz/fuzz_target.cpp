// The libFuzzer entry points: each input is one session on the library in
// its load-time state. Totals of the run are printed when it ends.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/library_state.h"
#include "fuzz/session.h"
#include "virtual_instrument/instrument.h"
#include "zqlusb.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void ReportTotals() {
    const fuzz::Totals &t = fuzz::totals;
    std::fprintf(stderr,
                 "zqlusb fuzz totals: sessions %llu, calls %llu, device faults injected %llu, "
                 "bad inputs %llu\n",
                 static_cast<unsigned long long>(t.sessions), static_cast<unsigned long long>(t.calls),
                 static_cast<unsigned long long>(t.faults), static_cast<unsigned long long>(t.badInputs));
}

// A session that leaves every kind of state behind: a pending command, dialog
// mode, a spent silent reconnect, the link-failed state and a closed handle.
Bytes LeaveStateBehind() {
    vi::ResetDevice();
    vi::Device().faults.failWrites = 3;
    USBWriteData(0x42);
    USBInitDevice();
    SetDLLBehaviour(1);
    USBFlushBuffer();
    USBWriteData(0x43);
    Bytes log;
    for (const vi::Transfer &t : vi::Device().transfers) {
        log.insert(log.end(), t.bytes.begin(), t.bytes.end());
        log.push_back(t.ok ? 1 : 0);
    }
    return log;
}

// The same session twice, the state restored in between, must make the same
// transfers: otherwise inputs would not start from the load-time state.
void CheckRestore() {
    const Bytes first = LeaveStateBehind();
    fuzz::RestoreLoadTimeState();
    if (LeaveStateBehind() != first) {
        std::fprintf(stderr, "fuzz: restoring the load-time state does not reset the library\n");
        std::abort();
    }
    fuzz::RestoreLoadTimeState();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::SaveLoadTimeState();
    CheckRestore();
    std::atexit(ReportTotals);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzz::RestoreLoadTimeState();
    FuzzedDataProvider input(data, size);
    fuzz::RunSession(input);
    return 0;
}
