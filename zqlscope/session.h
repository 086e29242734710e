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

// What the library's link query (USBLinkStatus) says after an operation, as
// one sentence; empty when the operation reached the instrument. `what`
// names the operation ("the scope record").
std::string LinkProblem(int status, const std::string &what);

// Asks the library after an operation and throws RunError with LinkProblem's
// sentence when the link failed, a write was lost or the read brought no data.
void CheckLink(const std::string &what);

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
    int linkStatus = 0; // USBLinkStatus after the block; its points are dropped when not 0
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
