// The core's exports (the 18 and the link query) as the trace builds name them: src/api/exports.cpp
// is compiled there with each export's name defined to zqlcore_<name> (see
// cmake/trace.cmake), so that the traced exports of exports.cpp here can
// take the names and call the core beneath. On 32-bit Windows the decorated
// names (_zqlcore_USBWriteData@4) make the link check each argument list.
#pragma once

#include "zqlusb.h"

extern "C" {
void ZQLUSB_CALL zqlcore_SetDLLBehaviour(int behaviour);
int ZQLUSB_CALL zqlcore_DeviceReady(void);
int ZQLUSB_CALL zqlcore_USBInitDevice(void);
void ZQLUSB_CALL zqlcore_GetDriverVersion(DriverVersion *version);
void ZQLUSB_CALL zqlcore_USBFlushBuffer(void);
void ZQLUSB_CALL zqlcore_USBSetEPB(void);
int ZQLUSB_CALL zqlcore_USBWriteAddress(unsigned char address);
int ZQLUSB_CALL zqlcore_USBWriteData(unsigned char data);
int ZQLUSB_CALL zqlcore_USBReadData(void);
int ZQLUSB_CALL zqlcore_USBReadI2CEEPROM(unsigned int address, unsigned int code);
int ZQLUSB_CALL zqlcore_USBWriteI2CEEPROM(unsigned int address, unsigned int data, unsigned int code);
int ZQLUSB_CALL zqlcore_USBWriteBuffer(unsigned char *Data, int Length);
int ZQLUSB_CALL zqlcore_USBLoadFPGA(const unsigned char *Data, int Length);
int ZQLUSB_CALL zqlcore_USBReadFromEEPROM(unsigned short address, unsigned short *ReturnValue);
int ZQLUSB_CALL zqlcore_USBReadDataBlock(unsigned char *Data, int Length);
int ZQLUSB_CALL zqlcore_USBRetrieveScopeData(OutPutData *OutBuffer);
int ZQLUSB_CALL zqlcore_USBRetrieveRollModeData(OutPutData *OutBuffer);
int ZQLUSB_CALL zqlcore_USBRetrievePreTriggerData(OutPutData *OutBuffer);
int ZQLUSB_CALL zqlcore_USBLinkStatus(void);
}
