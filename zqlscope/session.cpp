#include "session.h"

#include <iostream>
#include <memory>
#include <vector>

#include "library_identity.h"
#include "zqlusb.h"

namespace zqlscope {

namespace {
unsigned CodeFor(unsigned address, long long code) {
    return code >= 0 ? static_cast<unsigned>(code) : ZqlusbI2CConfirmationCode(address);
}
} // namespace

std::string Hex(unsigned value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (int i = 0; i < digits || value != 0; ++i, value >>= 4) {
        out.insert(out.begin(), kDigits[value & 0xF]);
    }
    return "0x" + out;
}

std::string LinkProblem(int status, const std::string &what) {
    if (status == 0) {
        return "";
    }
    std::vector<std::string> parts;
    if (status & ZQLUSB_LINK_WRITE_LOST) {
        parts.push_back("commands sent to the instrument were lost");
    }
    if (status & ZQLUSB_LINK_READ_MISSED) {
        parts.push_back("the read brought no data from it");
    }
    if (status & ZQLUSB_LINK_FAILED) {
        parts.push_back("the link is in its failed state");
    }
    std::string text = "the link to the instrument failed during " + what + ": ";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    }
    text += status & ZQLUSB_LINK_READ_MISSED ? "; what was read is not a measurement" : "";
    return text + " (USBLinkStatus " + std::to_string(status) +
           "); check the USB cable and that the instrument is powered, then run again";
}

void CheckLink(const std::string &what) {
    const std::string problem = LinkProblem(USBLinkStatus(), what);
    if (!problem.empty()) {
        throw RunError(problem);
    }
}

void OpenInstrument(const Arguments &args) {
    if (args.flags.count("--dialog")) {
        SetDLLBehaviour(1);
    }
    const LibraryIdentity library = LoadedLibrary();
    if (IsTraceBuild(library)) {
        std::cerr << "zqlscope: " << library.path << " is the trace build: it records this session to "
                  << TraceDestination() << '\n';
    }
    int result = USBInitDevice();
    if (result != 0) {
        throw RunError("no Zelqa instrument is attached (USBInitDevice returned " + std::to_string(result) +
                       "); check the USB cable and that the instrument's driver is installed");
    }
}

RecordRequest RecordRequestFrom(const CommandSpec &syntax, const Arguments &args) {
    RecordRequest r;
    r.count = static_cast<long>(OptionNumber(syntax, args, "--count"));
    r.offset = static_cast<long>(OptionNumber(syntax, args, "--offset"));
    r.step = static_cast<long>(OptionNumber(syntax, args, "--step"));
    if (r.offset + r.count > ZQLUSB_CHANNEL_POINTS) {
        throw UsageError("--count " + std::to_string(r.count) + " does not fit after --offset " +
                         std::to_string(r.offset) + ": the record ends at index " +
                         std::to_string(ZQLUSB_CHANNEL_POINTS - 1) + ", so --count can be at most " +
                         std::to_string(ZQLUSB_CHANNEL_POINTS - r.offset));
    }
    return r;
}

Trace RetrieveRecord(const RecordRequest &request) {
    auto record = std::make_unique<OutPutData>();
    const long header[] = {request.count, request.offset, request.step};
    for (int i = 0; i < 3; ++i) { // three little-endian 16-bit values
        record->TempBufferA[2 * i] = static_cast<unsigned char>(header[i] & 0xFF);
        record->TempBufferA[2 * i + 1] = static_cast<unsigned char>(header[i] >> 8);
    }
    USBRetrieveScopeData(record.get());
    Trace trace;
    for (long i = request.offset; i < request.offset + request.count; i += request.step) {
        trace.Add(i, record->TempBufferA[i], record->TempBufferB[i]);
    }
    return trace;
}

RollBlock RetrieveRollBlock(long long firstIndex) {
    auto record = std::make_unique<OutPutData>();
    USBRetrieveRollModeData(record.get());
    unsigned count = record->TempBufferA[0] | (record->TempBufferA[1] << 8);
    if (count > ZQLUSB_ROLL_MAX_POINTS) {
        throw RunError("the library reported " + std::to_string(count) + " roll-mode points in one block");
    }
    RollBlock block;
    block.invalid = record->TempBufferB[0] != 0;
    block.linkStatus = USBLinkStatus();
    if (block.linkStatus != 0) {
        return block;
    }
    for (unsigned i = 0; i < count; ++i) {
        block.trace.Add(firstIndex + i, record->TempBufferA[2 + i], record->TempBufferB[2 + i]);
    }
    return block;
}

Trace RetrievePreTrigger() {
    auto record = std::make_unique<OutPutData>();
    USBRetrievePreTriggerData(record.get());
    Trace trace;
    for (long i = 0; i < ZQLUSB_PRETRIGGER_POINTS; ++i) {
        trace.Add(i, record->TempBufferA[i], record->TempBufferB[i]);
    }
    return trace;
}

std::vector<std::uint8_t> ReadI2c(unsigned address, unsigned count, long long code) {
    std::vector<std::uint8_t> bytes;
    for (unsigned at = address; at < address + count; ++at) {
        int result = USBReadI2CEEPROM(at, CodeFor(at, code));
        if (result == ZQLUSB_I2C_READ_REFUSED) {
            throw RunError("the library refused the confirmation code " + Hex(CodeFor(at, code), 4) +
                           " for I2C EEPROM address " + Hex(at, 4));
        }
        CheckLink("the I2C EEPROM's read at " + Hex(at, 4));
        bytes.push_back(static_cast<std::uint8_t>(result));
    }
    return bytes;
}

void WriteI2c(unsigned address, const std::vector<std::uint8_t> &values, long long code) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        unsigned at = address + static_cast<unsigned>(i);
        if (USBWriteI2CEEPROM(at, values[i], CodeFor(at, code)) == ZQLUSB_I2C_WRITE_REFUSED) {
            throw RunError("the library refused the confirmation code " + Hex(CodeFor(at, code), 4) +
                           " for I2C EEPROM address " + Hex(at, 4) + "; nothing was written there");
        }
        CheckLink("the I2C EEPROM's write at " + Hex(at, 4));
    }
}

} // namespace zqlscope
