// The stand-in for the Win32 calls of the platform seam, served by the
// virtual instrument. The Wine test bed patches the shipping DLL's imports
// to the entries of kStandIns: the patched calls of the seam's table
// (src/link/win32_calls.h).
#pragma once

namespace vi {

struct StandIn {
    const char *module; // the DLL that exports the real function
    const char *name;   // its export name
    void *function;     // the stand-in's function of the same signature
};

extern const StandIn kStandIns[];
extern const int kStandInCount;

// Handles that the stand-in did not issue are passed to this function, a
// real CloseHandle, when set (by the Wine test bed); otherwise they fail.
void SetForeignCloseHandle(void *realCloseHandle);

} // namespace vi
