/* Compiled as C89, C99 and C11 and (as use_header.cpp) as C++98 and C++17
 * by tools/check-header: the header and each of its helpers, used. */
#include "zqlusb.h"

int UseHeader(OutPutData *record);

int UseHeader(OutPutData *record) {
    DriverVersion version;
    if (ZqlusbSetScopeRequest(record, ZQLUSB_CHANNEL_POINTS, 0, 1) != ZQLUSB_REQUEST_FITS ||
        ZqlusbCheckScopeRequest(70000u, 0, 1) != ZQLUSB_REQUEST_NOT_16_BITS ||
        ZqlusbScopeRequestText(ZQLUSB_REQUEST_NO_STEP)[0] == '\0') {
        return -2;
    }
    GetDriverVersion(&version);
    if (ZqlusbI2CConfirmationCode(0x2345u) != 0xB3CFu) {
        return -1;
    }
    return USBRetrieveScopeData(record) + ZQLUSB_ROLL_MAX_POINTS + ZQLUSB_PRETRIGGER_POINTS + version.MajorVersion;
}
