/* pthread_once for the virtual-instrument DLL: the link sends every call of
 * the static C++ runtime and unwinder to it (-Wl,--wrap=pthread_once).
 *
 * The 32-bit unwinder registers the DLL's unwind frames at load, and runs
 * its one-time initialisation through pthread_once. The threads library's
 * pthread_once makes a record of the calling thread for that, with a
 * thread-local storage slot that no unload gives back: after about a
 * thousand loads a process has none left and is aborted. This one needs no
 * record: a word that goes from 0 (not run) to 2 (running) to 1 (done). */
#include <windows.h>

enum { kNotRun = 0, kDone = 1, kRunning = 2 };

int __wrap_pthread_once(long *once, void (*init)(void)) {
    long state = kNotRun;
    if (__atomic_load_n(once, __ATOMIC_ACQUIRE) == kDone) {
        return 0;
    }
    if (__atomic_compare_exchange_n(once, &state, kRunning, 0, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        init();
        __atomic_store_n(once, kDone, __ATOMIC_RELEASE);
        return 0;
    }
    /* Another thread runs it: wait until it is done. */
    while (__atomic_load_n(once, __ATOMIC_ACQUIRE) != kDone) {
        Sleep(0);
    }
    return 0;
}
