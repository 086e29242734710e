/* The entry point of the shipping zqlusb.dll, in place of the C runtime's
 * start-up: the library keeps all its state in constant-initialised memory
 * and needs nothing done at load or at unload, so the entry point only
 * agrees to every notification. Without the start-up nothing of the
 * compiler's runtime is linked either: no constructors, no thread-local
 * storage callbacks, no unwind-frame registration. */
#include <windows.h>

BOOL WINAPI ZqlusbDllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
