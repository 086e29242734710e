// Command streams, raw writes and replies as readable lines.
#include "stream_text.h"

#include <algorithm>
#include <cstdio>

#include "link/commands.h"

namespace zqlscope {

namespace {

using namespace zqlusb;

// Data values shown on one line after their address.
constexpr std::size_t kDataPerLine = 16;
// Bytes of a reply or bit stream shown before "...".
constexpr std::size_t kShownBytes = 8;

// The serial EEPROM read's port images: deselected with the clock high,
// then per bit a clock-low and a clock-high image with the bit on line 0,
// then selected with the clock low before the read request.
constexpr std::uint8_t kSerialIdle = 0x2A;
constexpr std::uint8_t kSerialClockLow = 0x0E;
constexpr std::uint8_t kSerialClockHigh = 0x2E;
constexpr std::uint8_t kSerialDeselect = 0x0A; // left pending after each read
constexpr int kSerialInstructionBits = 3;      // start bit 1, READ opcode 1 0
constexpr int kSerialAddressBits = 6;
constexpr unsigned kSerialReadInstruction = 6;
constexpr std::size_t kSerialImages = 2 + 2 * (kSerialInstructionBits + kSerialAddressBits);

// The FPGA's three port images of a 1 and of a 0 bit.
constexpr std::uint8_t kFpgaOne[3] = {0xF4, 0xD4, 0xF4};
constexpr std::uint8_t kFpgaZero[3] = {0xE4, 0xC4, 0xE4};
constexpr std::size_t kFpgaImagesPerByte = 24;

std::string Bytes(ByteView bytes, std::size_t most) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
        text += (i ? " " : "") + HexValue(bytes[i], 2).substr(2);
    }
    return bytes.size() > most ? text + " ..." : text;
}

std::string Plural(std::size_t n, const char *noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// The bytes a read request announces with packet count `count`.
std::size_t PacketBytes(unsigned count) {
    return (count + 1u) % 0x10000u * kPacketSize;
}

std::string ReadRequest(std::uint8_t subcode, std::uint8_t p1, std::uint8_t p2) {
    const unsigned count = unsigned(p1) << 8 | p2;
    const std::string packets =
        Plural((count + 1u) % 0x10000u, "packet") + ", " + std::to_string(PacketBytes(count)) + " bytes";
    switch (subcode) {
    case READ_BYTE:
        return "read request: a byte";
    case READ_SERIAL_EEPROM:
        return "read request: the serial EEPROM word (2 bytes, high first)";
    case READ_BLOCK:
        return "read request: data block, packet count " + HexValue(count, 4) + " (" + packets + ")";
    case READ_ROLL:
        return "read request: roll-mode block, packet count " + HexValue(count, 4) + " (" + packets + ")";
    case READ_PRETRIGGER:
        return "read request: pre-trigger memory, packet count " + HexValue(count, 4) + " (" + packets + ")";
    case READ_I2C_EEPROM:
        return "read request: I2C EEPROM byte at " + HexValue(count, 4);
    default:
        return "read request with unknown sub-code " + HexValue(subcode, 2);
    }
}

// The word a serial EEPROM read addresses, when the 20 data writes from
// `at` on are exactly its port images; -1 otherwise.
int SerialWordAt(ByteView s, std::size_t at) {
    if (s.size() - at < 2 * kSerialImages || s[at] != CMD_DATA || s[at + 1] != kSerialIdle) {
        return -1;
    }
    unsigned bits = 0;
    for (int i = 0; i < kSerialInstructionBits + kSerialAddressBits; ++i) {
        const std::size_t low = at + 2 + 4 * std::size_t(i);
        if (s[low] != CMD_DATA || s[low + 2] != CMD_DATA || (s[low + 1] & ~1u) != kSerialClockLow ||
            s[low + 3] != (s[low + 1] | kSerialClockHigh)) {
            return -1;
        }
        bits = bits << 1 | (s[low + 1] & 1u);
    }
    const std::size_t last = at + 2 * kSerialImages - 2;
    if (s[last] != CMD_DATA || s[last + 1] != kSerialClockLow || bits >> kSerialAddressBits != kSerialReadInstruction) {
        return -1;
    }
    return int(bits & ((1u << kSerialAddressBits) - 1));
}

// Collects the data writes that follow an address (or none) on one line.
class RegisterLine {
  public:
    explicit RegisterLine(std::vector<std::string> *lines) : lines_(lines) {}
    void Address(std::uint8_t address) {
        Flush();
        text_ = "address " + HexValue(address, 2) + ", data";
        open_ = true;
    }
    void Data(std::uint8_t value) {
        if (!open_ || count_ == kDataPerLine) {
            const bool continued = open_;
            Flush();
            text_ = continued ? "  more data" : "data";
            open_ = true;
        }
        text_ += " " + HexValue(value, 2);
        ++count_;
    }
    void Flush() {
        if (open_) {
            lines_->push_back(count_ == 0 ? text_.substr(0, text_.size() - 6) : text_);
        }
        open_ = false;
        count_ = 0;
    }

  private:
    std::vector<std::string> *lines_;
    std::string text_;
    bool open_ = false;
    std::size_t count_ = 0;
};

} // namespace

std::string HexValue(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

std::vector<std::string> DescribeStream(ByteView s, StreamState *state) {
    std::vector<std::string> lines;
    RegisterLine registers(&lines);
    std::size_t at = 0;
    while (at < s.size()) {
        const std::uint8_t op = s[at];
        const std::size_t length = std::size_t(CommandLength(op));
        if (s.size() - at < length) {
            registers.Flush();
            lines.push_back("an incomplete command: " + Bytes(s.subspan(at), kShownBytes));
            break;
        }
        if (op == CMD_ADDRESS) {
            registers.Address(s[at + 1]);
        } else if (op == CMD_DATA) {
            const int word = SerialWordAt(s, at);
            if (s[at + 1] == kSerialDeselect && SerialWordAt(s, at + 2) >= 0) {
                registers.Flush();
                lines.push_back("serial EEPROM: deselect after the previous read (data 0x0A)");
            } else if (word < 0) {
                registers.Data(s[at + 1]);
            } else {
                registers.Flush();
                lines.push_back("serial EEPROM: read word " + std::to_string(word) + " (" +
                                std::to_string(kSerialImages) + " port images: select, start bit, READ, address)");
                at += 2 * kSerialImages;
                continue;
            }
        } else {
            registers.Flush();
            const std::string misaligned =
                at % kReadAlignment != 0 ? " (at byte " + std::to_string(at) + ", not a multiple of 4)" : "";
            switch (op) {
            case CMD_NOP:
                lines.push_back(s[at + 1] == 0 ? "nop (aligns the read request)" : "nop " + HexValue(s[at + 1], 2));
                break;
            case CMD_READ:
                lines.push_back(ReadRequest(s[at + 1], s[at + 2], s[at + 3]) + misaligned);
                state->pendingRead = s[at + 1];
                break;
            case CMD_EPB:
                lines.push_back("EPB");
                break;
            case CMD_I2C_BUS:
                lines.push_back(s[at + 1] == I2C_BUS_OPEN    ? "I2C EEPROM: open"
                                : s[at + 1] == I2C_BUS_CLOSE ? "I2C EEPROM: close"
                                                             : "I2C bus command " + HexValue(s[at + 1], 2));
                break;
            case CMD_I2C_WRITE:
                lines.push_back("I2C EEPROM: write " + HexValue(s[at + 3], 2) + " at " +
                                HexValue(unsigned(s[at + 1]) << 8 | s[at + 2], 4));
                break;
            default:
                lines.push_back("unknown command " + Bytes(s.subspan(at, length), length));
            }
        }
        at += length;
    }
    registers.Flush();
    return lines;
}

std::vector<std::string> DescribeRegisterCalls(ByteView pairs) {
    std::vector<std::uint8_t> stream;
    std::vector<std::string> odd;
    for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
        const std::uint8_t ordinal = pairs[i];
        if (ordinal == 6) {
            stream.insert(stream.end(), {CMD_EPB, 0});
        } else if (ordinal == 7 || ordinal == 8) {
            stream.insert(stream.end(), {ordinal == 7 ? CMD_ADDRESS : CMD_DATA, pairs[i + 1]});
        } else {
            odd.push_back("a call of ordinal " + std::to_string(ordinal) + ", not a register write");
        }
    }
    StreamState ignored;
    std::vector<std::string> lines = DescribeStream(stream, &ignored);
    if (pairs.size() % 2 != 0) {
        odd.push_back("an odd byte at the end");
    }
    lines.insert(lines.end(), odd.begin(), odd.end());
    return lines;
}

std::string DescribeRawWrite(ByteView bytes) {
    std::vector<std::uint8_t> decoded;
    std::uint8_t current = 0;
    for (std::size_t bit = 0; bit * 3 < bytes.size(); ++bit) {
        const std::uint8_t *image = bytes.data() + bit * 3;
        const bool one = bytes.size() - bit * 3 >= 3 && std::equal(image, image + 3, kFpgaOne);
        const bool zero = bytes.size() - bit * 3 >= 3 && std::equal(image, image + 3, kFpgaZero);
        if (!one && !zero) {
            return "raw write of " + Plural(bytes.size(), "byte") + ", not an FPGA bit stream from byte " +
                   std::to_string(bit * 3) + ": " + Bytes(bytes, kShownBytes);
        }
        current = std::uint8_t(current << 1 | (one ? 1 : 0));
        if (bit % 8 == 7) {
            decoded.push_back(current);
        }
    }
    if (bytes.size() % kFpgaImagesPerByte != 0) {
        return "FPGA bit stream of " + Plural(bytes.size() / 3, "bit") + " (not whole bytes), " +
               Plural(bytes.size(), "port image");
    }
    return "FPGA bit stream: " + Plural(decoded.size(), "byte") + " in " + Plural(bytes.size(), "port image") +
           (decoded.empty() ? "" : ": " + Bytes(decoded, kShownBytes));
}

std::string DescribeReply(ByteView reply, const StreamState &state) {
    const std::string n = Plural(reply.size(), "byte");
    switch (state.pendingRead) {
    case READ_BYTE:
    case READ_I2C_EEPROM:
        return reply.size() == 1 ? "reply: the byte " + HexValue(reply[0], 2) : "reply: " + n;
    case READ_SERIAL_EEPROM:
        return reply.size() == 2 ? "reply: the word " + HexValue(unsigned(reply[0]) << 8 | reply[1], 4) : "reply: " + n;
    case READ_BLOCK:
        return "reply: " + n + ", " + Plural(reply.size() / 2, "point") + " (A, B): " + Bytes(reply, kShownBytes);
    case READ_ROLL:
        return "reply: roll-mode block, " + n + " (" + Plural(reply.size() / kPacketSize, "packet") + ")";
    case READ_PRETRIGGER:
        return "reply: pre-trigger memory, " + n;
    default:
        return "reply: " + n + (reply.empty() ? "" : ": " + Bytes(reply, kShownBytes));
    }
}

} // namespace zqlscope
