/* Linked MSVC-style (clang for *-pc-windows-msvc, lld-link, /safeseh on x86)
 * against the package's zqlusb.lib. No C runtime exists for that toolchain
 * here, so the program calls only the library and kernel32: it opens the
 * instrument, captures, checks the points against a block read and says so. */
#include "zqlusb.h"

typedef void *Handle;
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
__declspec(dllimport) Handle __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(Handle file, const void *data, unsigned long length,
                                              unsigned long *written, void *overlapped);

#define STANDARD_OUTPUT ((unsigned long)-11)
#define POINTS 1000

static OutPutData record;
static unsigned char block[2 * POINTS + 64];

static void Say(const char *text) {
    unsigned long length = 0, written = 0;
    while (text[length] != '\0') {
        ++length;
    }
    WriteFile(GetStdHandle(STANDARD_OUTPUT), text, length, &written, 0);
}

static int Capture(void) {
    int k;
    USBReadDataBlock(block, 2 * POINTS);
    ZqlusbSetScopeRequest(&record, POINTS, 0, 1);
    USBRetrieveScopeData(&record);
    for (k = 0; k < POINTS; ++k) {
        if (record.TempBufferA[k] != block[2 * k] || record.TempBufferB[k] != block[2 * k + 1]) {
            return 0;
        }
    }
    return 1;
}

void __stdcall Start(void) {
    DriverVersion version;
    int ok;
    GetDriverVersion(&version);
    ok = version.MajorVersion == 1 && version.MinorVersion == 3 && USBInitDevice() == 0 && DeviceReady() == 1 &&
         Capture() && USBReadI2CEEPROM(0x2345, ZqlusbI2CConfirmationCode(0x2345)) <= 255;
    Say(ok ? "msvc-style program: driver 1.3, opened, 1000 points captured as the block read delivers them\n"
           : "msvc-style program: FAILED\n");
    ExitProcess(ok ? 0 : 1);
}
