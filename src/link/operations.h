// The link's operations without the export lock: the device, the command
// stream and the basic transfers. The exported functions (src/api/) call them
// under the lock; the link, acquisition and configuration call one another
// only through these names and those of their own operations headers, so no
// call ever takes the lock twice.
#pragma once

#include "zqlusb.h"

namespace zqlusb {

void SetBehaviour(int behaviour);
int ProbeReady();
int InitDevice();
void StoreDriverVersion(DriverVersion *version);
int LinkStatus();

void FlushBuffer();
void SetEPB();
void WriteAddress(unsigned char address);
void WriteData(unsigned char data);

int ReadData();
void ReadDataBlock(unsigned char *Data, int Length);
void WriteBuffer(unsigned char *Data, int Length);

} // namespace zqlusb
