// The library's operations without the export lock. Each exported function
// takes the lock once and calls its operation here; operations call one
// another only through these names, so no call ever takes the lock twice.
#pragma once

#include <cstdint>

#include "zqlusb.h"

namespace zqlusb {

void SetBehaviour(int behaviour);
int ProbeReady();
int InitDevice();
void StoreDriverVersion(DriverVersion *version);

void FlushBuffer();
void SetEPB();
void WriteAddress(unsigned char address);
void WriteData(unsigned char data);

int ReadData();
void ReadDataBlock(unsigned char *Data, int Length);
void WriteBuffer(unsigned char *Data, int Length);

int ReadI2CEEPROM(unsigned int address, unsigned int code);
int WriteI2CEEPROM(unsigned int address, unsigned int data, unsigned int code);
void LoadFPGA(const unsigned char *Data, int Length);
void ReadFromEEPROM(unsigned short address, unsigned short *ReturnValue);

void RetrieveScopeData(OutPutData *OutBuffer);
void RetrieveRollModeData(OutPutData *OutBuffer);
void RetrievePreTriggerData(OutPutData *OutBuffer);

} // namespace zqlusb
