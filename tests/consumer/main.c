/* Asks the installed library for the driver version and opens the instrument
 * (the virtual one: the native library, or the virtual-instrument DLL). */
#include <stdio.h>

#include "zqlusb.h"

int main(void) {
    DriverVersion version = {0, 0};
    GetDriverVersion(&version);
    int opened = USBInitDevice();
    int ready = DeviceReady();
    printf("driver %d.%d, USBInitDevice %d, DeviceReady %d\n", version.MajorVersion, version.MinorVersion, opened,
           ready);
    return version.MajorVersion == 1 && version.MinorVersion == 3 && opened == 0 && ready == 1 ? 0 : 1;
}
