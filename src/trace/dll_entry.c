/* The entry point of the trace zqlusb.dll. Nothing is done at load: the
 * trace file is opened by the first exported call. At unload the session's
 * last record is written and the file closed; at the end of the process
 * (reserved not null) only when no thread died holding the trace lock. */
#include <windows.h>

void ZqlTraceDetach(int processEnding);

BOOL WINAPI ZqlusbDllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    if (reason == DLL_PROCESS_DETACH) {
        ZqlTraceDetach(reserved != NULL);
    }
    return TRUE;
}
