/* An application built against zqlusb.dll's MSVC import library, using the
 * public header and the exports alone.
 *   application virtual        against the virtual-instrument DLL: opens the
 *                              simulated instrument and drives it;
 *   application no-instrument  against the shipping DLL where no instrument
 *                              (and no driver) is installed: the open fails
 *                              with 256 and nothing else happens. */
#include <stdio.h>
#include <string.h>

#include "zqlusb.h"

static int checks = 0;
static int failures = 0;

static void Expect(int ok, const char *what) {
    ++checks;
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

static void DriveVirtualInstrument(void) {
    Expect(DeviceReady() == 0, "not ready before the instrument is opened");
    Expect(USBInitDevice() == 0, "USBInitDevice opens the virtual instrument");
    Expect(DeviceReady() == 1, "ready once opened");

    DriverVersion version = {0, 0};
    GetDriverVersion(&version);
    Expect(version.MajorVersion == 1 && version.MinorVersion == 3, "driver version 1.3");

    /* Register set-up as an application does it: address then data, an EPB
     * command, and a flush; then enough data writes to fill the command
     * buffer twice, which sends it by itself. */
    SetDLLBehaviour(1);
    for (int r = 0; r < 16; ++r) {
        USBWriteAddress((unsigned char)r);
        USBWriteData((unsigned char)(0xA0 + r));
    }
    USBSetEPB();
    USBFlushBuffer();
    USBWriteAddress(0x20);
    for (int i = 0; i < 2 * 8192 + 5; ++i) {
        USBWriteData((unsigned char)i);
    }
    USBFlushBuffer();
    Expect(DeviceReady() == 1, "still ready after the writes");

    Expect(USBInitDevice() == 0, "a second open replaces the first");
    Expect(DeviceReady() == 1, "ready after the reopen");
}

static void WithoutInstrument(void) {
    Expect(USBInitDevice() == ZQLUSB_INIT_FAILED, "USBInitDevice returns 256 with no instrument");
    Expect(DeviceReady() == 0, "not ready with no instrument");
    DriverVersion version = {0, 0};
    GetDriverVersion(&version);
    Expect(version.MajorVersion == 1 && version.MinorVersion == 3, "driver version 1.3 without a device");
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "virtual") == 0) {
        DriveVirtualInstrument();
    } else if (argc == 2 && strcmp(argv[1], "no-instrument") == 0) {
        WithoutInstrument();
    } else {
        fprintf(stderr, "usage: application virtual|no-instrument\n");
        return 2;
    }
    printf("%s: %d of %d checks passed\n", argv[1], checks - failures, checks);
    return failures == 0 ? 0 : 1;
}
