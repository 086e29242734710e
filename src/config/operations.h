// The configuration's operations without the export lock: the EEPROMs and
// the FPGA.
#pragma once

namespace zqlusb {

int ReadI2CEEPROM(unsigned int address, unsigned int code);
int WriteI2CEEPROM(unsigned int address, unsigned int data, unsigned int code);
void LoadFPGA(const unsigned char *Data, int Length);
void ReadFromEEPROM(unsigned short address, unsigned short *ReturnValue);

} // namespace zqlusb
