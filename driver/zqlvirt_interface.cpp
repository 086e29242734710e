// The instrument's device interface: turning it on and off as the device's
// start, the host's presence and the host's wish decide, one caller at a time.
#include "zqlvirt_interface.h"

#include "zqlvirt_state.h"

namespace zqlvirt {

// Enables the interface exactly while the device is started, a host serves
// and the host wants it. The state is decided under the lock, but applied
// outside it (IoSetDeviceInterfaceState runs at passive level), so one caller
// at a time applies, and it decides again after each change until what it
// applied is still what is wanted: a later caller's decision is never
// overtaken by an earlier one's. Called without the lock (passive level).
void UpdateInterface() {
    KIRQL irql;
    KeAcquireSpinLock(&state.lock, &irql);
    if (state.interfaceApplying) {
        KeReleaseSpinLock(&state.lock, irql); // the caller applying decides again after us
        return;
    }
    state.interfaceApplying = true;
    for (;;) {
        const bool want = state.linkValid && state.started && state.host != nullptr && state.interfaceWanted;
        if (want == state.interfaceEnabled) {
            break;
        }
        state.interfaceEnabled = want;
        state.counts.interfaceEnabled = want ? 1 : 0;
        KeReleaseSpinLock(&state.lock, irql);
        IoSetDeviceInterfaceState(&state.link, want ? TRUE : FALSE);
        KeAcquireSpinLock(&state.lock, &irql);
    }
    state.interfaceApplying = false;
    KeReleaseSpinLock(&state.lock, irql);
}

// Waits until no caller is applying an interface change (before the link's
// name is freed). Passive level.
void WaitForInterface() {
    LARGE_INTEGER step;
    step.QuadPart = -10000; // 1 ms, relative
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&state.lock, &irql);
        const bool applying = state.interfaceApplying;
        KeReleaseSpinLock(&state.lock, irql);
        if (!applying) {
            return;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    }
}

} // namespace zqlvirt
