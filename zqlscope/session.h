// Talking to the instrument through the library's exports: opening it, and
// the acquisition and memory operations as zqlscope uses them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "args.h"
#include "waveform_files.h"

namespace zqlscope {

// Switches dialog mode on when --dialog was given, then opens the instrument.
void OpenInstrument(const Arguments &args);

// The part of a scope record to retrieve, already checked against its limits.
struct RecordRequest {
    long count = 1000;
    long offset = 0;
    long step = 1;
};
RecordRequest RecordRequestFrom(const CommandSpec &syntax, const Arguments &args);
Trace RetrieveRecord(const RecordRequest &request);

// One roll-mode block: its points and the instrument's invalid-data flag.
struct RollBlock {
    Trace trace;
    bool invalid = false;
};
RollBlock RetrieveRollBlock(long long firstIndex);

Trace RetrievePreTrigger();

// Bytes of the I2C EEPROM from `address` on, with the rule's confirmation
// code unless `code` overrides it.
std::vector<std::uint8_t> ReadI2c(unsigned address, unsigned count, long long code = -1);
void WriteI2c(unsigned address, const std::vector<std::uint8_t> &values, long long code = -1);

// 0x and value in hex, with at least `digits` digits and as many more as it needs.
std::string Hex(unsigned value, int digits);

} // namespace zqlscope
