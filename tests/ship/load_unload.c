/* Loads zqlusb.dll, calls an export and unloads it, again and again in one
 * process, as plug-in hosts, test runners and scripting environments do.
 * Each unload must really unload the DLL (a pinned module would hide what a
 * load leaves behind), and every load must succeed.
 *   load_unload [CYCLES]     default 10,000 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "zqlusb.h"

static const char kDllName[] = "zqlusb.dll";

/* One cycle: load, a call that takes the export lock, unload. */
static int Cycle(long n) {
    HMODULE dll = LoadLibraryA(kDllName);
    if (dll == NULL) {
        fprintf(stderr, "FAILED: load %ld of %s (error %lu)\n", n, kDllName, GetLastError());
        return 0;
    }
    typedef int(ZQLUSB_CALL * ReadyFunction)(void);
    ReadyFunction ready = (ReadyFunction)(void (*)(void))GetProcAddress(dll, "DeviceReady");
    if (ready == NULL) {
        fprintf(stderr, "FAILED: load %ld: DeviceReady is not exported\n", n);
        return 0;
    }
    if (ready() != 0) {
        fprintf(stderr, "FAILED: load %ld: ready with no device open\n", n);
        return 0;
    }
    if (!FreeLibrary(dll)) {
        fprintf(stderr, "FAILED: unload %ld (error %lu)\n", n, GetLastError());
        return 0;
    }
    if (GetModuleHandleA(kDllName) != NULL) {
        fprintf(stderr, "FAILED: %s is still loaded after unload %ld\n", kDllName, n);
        return 0;
    }
    return 1;
}

int main(int argc, char **argv) {
    const long cycles = argc > 1 ? strtol(argv[1], NULL, 10) : 10000;
    if (GetModuleHandleA(kDllName) != NULL) {
        fprintf(stderr, "FAILED: %s is loaded with the program\n", kDllName);
        return 1;
    }
    for (long n = 1; n <= cycles; ++n) {
        if (!Cycle(n)) {
            return 1;
        }
    }
    printf("%s: %ld cycles of load, DeviceReady, unload in one process\n", kDllName, cycles);
    return 0;
}
