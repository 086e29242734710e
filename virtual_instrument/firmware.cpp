// The instrument's firmware: executes a command stream command by command
// and prepares the answer to each read request.
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "link/commands.h"
#include "virtual_instrument/instrument.h"

namespace vi {

using namespace zqlusb;

namespace {
std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

void Report(Instrument &device, const std::string &fault) {
    if (!fault.empty()) {
        device.ProtocolError(fault);
    }
}

// READ_BLOCK announces (packet count + 1) packets.
Bytes BlockAnswer(const Bytes &data, std::uint8_t p1, std::uint8_t p2) {
    const std::size_t length = (static_cast<std::size_t>(p1 << 8 | p2) + 1) * kPacketSize;
    Bytes answer(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min(length, data.size())));
    answer.resize(length, 0);
    return answer;
}
} // namespace

void Instrument::Execute(const std::uint8_t *bytes, std::uint32_t length) {
    std::uint32_t at = 0;
    while (at < length) {
        std::uint32_t used = ExecuteCommand(bytes, at, length);
        if (used == 0) {
            return; // the rest of the stream cannot be parsed
        }
        at += used;
    }
}

// Executes the command at offset `at`; returns its length, or 0 when the
// stream cannot be decoded from here on.
std::uint32_t Instrument::ExecuteCommand(const std::uint8_t *bytes, std::uint32_t at, std::uint32_t length) {
    const std::uint8_t opcode = bytes[at];
    const auto need = static_cast<std::uint32_t>(CommandLength(opcode));
    if (at + need > length) {
        ProtocolError("command " + Hex(opcode) + " cut off at offset " + std::to_string(at));
        return 0;
    }
    const std::uint8_t operand = bytes[at + 1];
    switch (opcode) {
    case CMD_NOP:
        if (operand != 0x00) {
            ProtocolError("CMD_NOP with operand " + Hex(operand));
        }
        return need;
    case CMD_ADDRESS:
        addressLatch = operand;
        return need;
    case CMD_DATA:
        registers[addressLatch] = operand;
        serialEeprom.Drive(operand);
        return need;
    case CMD_EPB:
        ++epbCount;
        return need;
    case CMD_I2C_BUS:
        Report(*this, i2cEeprom.Bus(operand));
        return need;
    case CMD_I2C_WRITE:
        Report(*this, i2cEeprom.Write(operand, bytes[at + 2], bytes[at + 3]));
        return need;
    case CMD_READ:
        if (at % kReadAlignment != 0) {
            ProtocolError("read request at unaligned offset " + std::to_string(at));
        }
        ExecuteRead(operand, bytes[at + 2], bytes[at + 3]);
        return need;
    default:
        ProtocolError("unknown opcode " + Hex(opcode) + " at offset " + std::to_string(at));
        return 0;
    }
}

void Instrument::ExecuteRead(std::uint8_t subcode, std::uint8_t p1, std::uint8_t p2) {
    if (pendingAnswer_) {
        ProtocolError("read request " + Hex(subcode) + " while an answer was still unread");
    }
    Bytes answer;
    std::vector<std::string> found; // the acquisition memory's complaints, into the bounded log
    switch (subcode) {
    case READ_BYTE:
        pendingAnswer_ = Bytes{plantedByte.value_or(registers[addressLatch])};
        return;
    case READ_BLOCK:
        pendingAnswer_ =
            blockData.empty() ? acquisition.Answer(subcode, p1, p2, found) : BlockAnswer(blockData, p1, p2);
        break;
    case READ_ROLL:
    case READ_PRETRIGGER:
        pendingAnswer_ = acquisition.Answer(subcode, p1, p2, found);
        break;
    case READ_I2C_EEPROM:
        AnswerUnlessFault(i2cEeprom.Read(p1, p2, &answer), answer);
        return;
    case READ_SERIAL_EEPROM:
        AnswerUnlessFault(serialEeprom.Answer(&answer), answer);
        return;
    default:
        ProtocolError("unknown read sub-code " + Hex(subcode));
        pendingAnswer_.reset();
        return;
    }
    for (const std::string &what : found) {
        ProtocolError(what);
    }
}

// A read request the firmware could not carry out leaves no answer.
void Instrument::AnswerUnlessFault(const std::string &fault, const Bytes &answer) {
    if (fault.empty()) {
        pendingAnswer_ = answer;
    } else {
        ProtocolError(fault);
        pendingAnswer_.reset();
    }
}

} // namespace vi
