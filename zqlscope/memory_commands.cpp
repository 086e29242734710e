// info, fpga, i2c, serial and write: the instrument's memories, its FPGA and
// its registers.
#include <iostream>

#include "commands.h"
#include "file_checks.h"
#include "library_identity.h"
#include "session.h"
#include "zqlusb.h"

namespace zqlscope {

namespace {
// Words of the serial EEPROM.
constexpr unsigned kSerialWords = 64;
// Bytes of the I2C EEPROM.
constexpr long kI2cBytes = 0x10000;
// Larger than any FPGA configuration of the instrument; the loader expands
// each byte 24-fold in memory.
constexpr std::size_t kMaxBitStream = std::size_t{8} << 20;

void HexDump(unsigned address, const std::vector<std::uint8_t> &bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) {
            std::cout << (i ? "\n" : "") << Hex(address + unsigned(i), 4) << ':';
        }
        std::cout << ' ' << Hex(bytes[i], 2).substr(2);
    }
    std::cout << '\n';
}

unsigned short SerialWord(unsigned word) {
    unsigned short value = 0;
    USBReadFromEEPROM(static_cast<unsigned short>(word), &value);
    return value;
}

long long CodeOption(const Arguments &args) {
    return args.Has("--code") ? Number("--code", args.Text("--code"), 0, 0xFFFFFFFFLL) : -1;
}
} // namespace

int Info(const CommandSpec &, const Arguments &args) {
    const LibraryIdentity library = LoadedLibrary();
    std::cout << "library:         " << (library.path.empty() ? "(its path is unknown)" : library.path) << '\n'
              << "library is:      "
              << (library.description.empty() ? "(no version resource: a native build over the virtual instrument)"
                                               : library.description)
              << '\n';
    OpenInstrument(args);
    DriverVersion version{};
    GetDriverVersion(&version);
    const bool ready = DeviceReady() != 0;
    std::vector<unsigned short> words;
    for (unsigned word = 0; word < kSerialWords; ++word) {
        words.push_back(SerialWord(word));
        CheckLink("the serial EEPROM's word " + std::to_string(word));
    }
    std::cout << "instrument:      opened\n"
              << "ready:           " << (ready ? "yes" : "no") << '\n'
              << "driver version:  " << int(version.MajorVersion) << '.' << int(version.MinorVersion) << '\n'
              << "serial EEPROM:";
    for (unsigned word = 0; word < kSerialWords; ++word) {
        std::cout << (word % 8 == 0 ? "\n  " + Hex(word, 2) + ":" : "") << ' ' << Hex(words[word], 4).substr(2);
    }
    std::cout << '\n';
    return 0;
}

namespace {

// Commands of the form `NAME VERB WORD`: the verb, then exactly one word.
void ExpectVerbAndOneWord(const Arguments &args, const std::string &verb, const std::string &what,
                          const std::string &usage) {
    if (args.words.empty() || args.words[0] != verb) {
        throw UsageError(args.words.empty() ? "expected: " + usage
                                            : "expected " + verb + ", not '" + args.words[0] + "'");
    }
    if (args.words.size() != 2) {
        throw UsageError("expected " + what + " after " + verb + ": " + usage);
    }
}

} // namespace

int Fpga(const CommandSpec &, const Arguments &args) {
    ExpectVerbAndOneWord(args, "load", "the bit stream file", "fpga load FILE");
    std::vector<unsigned char> stream = ReadInputFile("bit stream file", args.words[1], kMaxBitStream);
    OpenInstrument(args);
    USBLoadFPGA(stream.data(), static_cast<int>(stream.size()));
    CheckLink("the FPGA load");
    std::cout << "FPGA: sent " << Count(static_cast<long long>(stream.size()), "byte") << " ("
              << Count(static_cast<long long>(stream.size()) * 8, "configuration bit") << ")\n";
    return 0;
}

namespace {

// The I2C EEPROM's bytes from `address` to its end.
long BytesLeft(unsigned address) {
    return kI2cBytes - static_cast<long>(address);
}

// "COUNT 2 does not fit: the I2C EEPROM ends at 0xFFFF, so at most 1 byte can
// be read from 0xFFFF"
std::string DoesNotFit(const std::string &subject, unsigned address, const std::string &verb) {
    return subject + ": the I2C EEPROM ends at " + Hex(kI2cBytes - 1, 4) + ", so at most " +
           Count(BytesLeft(address), "byte") + " can be " + verb + " from " + Hex(address, 4);
}

int I2cRead(const Arguments &args, unsigned address) {
    if (args.words.size() > 3) {
        throw UsageError("unexpected argument '" + args.words[3] + "'");
    }
    long count = 1;
    if (args.words.size() == 3) {
        count = static_cast<long>(Number("COUNT", args.words[2], 1, kI2cBytes));
        if (count > BytesLeft(address)) {
            throw UsageError(DoesNotFit("COUNT " + std::to_string(count) + " does not fit", address, "read"));
        }
    }
    OpenInstrument(args);
    HexDump(address, ReadI2c(address, static_cast<unsigned>(count), CodeOption(args)));
    return 0;
}

int I2cWrite(const Arguments &args, unsigned address) {
    std::vector<std::uint8_t> values;
    for (std::size_t i = 2; i < args.words.size(); ++i) {
        values.push_back(static_cast<std::uint8_t>(Number("VALUE", args.words[i], 0, 255)));
    }
    if (values.empty()) {
        throw UsageError("i2c write needs at least one VALUE after ADDR");
    }
    if (static_cast<long>(values.size()) > BytesLeft(address)) {
        throw UsageError(
            DoesNotFit(Count(static_cast<long long>(values.size()), "value") + " do not fit", address, "written"));
    }
    OpenInstrument(args);
    WriteI2c(address, values, CodeOption(args));
    std::cout << "I2C EEPROM: wrote " << Count(static_cast<long long>(values.size()), "byte") << " from "
              << Hex(address, 4) << '\n';
    return 0;
}
} // namespace

int I2c(const CommandSpec &, const Arguments &args) {
    if (args.words.empty() || (args.words[0] != "read" && args.words[0] != "write")) {
        throw UsageError(args.words.empty() ? "expected read or write"
                                            : "expected read or write, not '" + args.words[0] + "'");
    }
    if (args.words.size() < 2) {
        throw UsageError("expected: i2c " + args.words[0] + " ADDR" +
                         (args.words[0] == "read" ? " [COUNT]" : " VALUE..."));
    }
    const unsigned address = static_cast<unsigned>(Number("ADDR", args.words[1], 0, kI2cBytes - 1));
    return args.words[0] == "read" ? I2cRead(args, address) : I2cWrite(args, address);
}

int Serial(const CommandSpec &, const Arguments &args) {
    ExpectVerbAndOneWord(args, "read", "the word's number", "serial read WORD");
    const unsigned word = static_cast<unsigned>(Number("WORD", args.words[1], 0, kSerialWords - 1));
    OpenInstrument(args);
    const unsigned short value = SerialWord(word);
    CheckLink("the serial EEPROM's word " + std::to_string(word));
    std::cout << "serial EEPROM word " << word << ": " << Hex(value, 4) << '\n';
    return 0;
}

int Write(const CommandSpec &, const Arguments &args) {
    if (args.words.empty()) {
        throw UsageError("expected: write ADDR=DATA...");
    }
    std::vector<std::pair<unsigned char, unsigned char>> writes;
    for (const std::string &pair : args.words) {
        std::size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            throw UsageError("expected ADDR=DATA, not '" + pair + "'");
        }
        writes.emplace_back(static_cast<unsigned char>(Number("ADDR", pair.substr(0, eq), 0, 255)),
                            static_cast<unsigned char>(Number("DATA", pair.substr(eq + 1), 0, 255)));
    }
    OpenInstrument(args);
    for (auto [address, data] : writes) {
        USBWriteAddress(address);
        USBWriteData(data);
    }
    USBFlushBuffer();
    CheckLink("the register writes");
    std::cout << "registers: " << Count(static_cast<long long>(writes.size()), "write") << " sent\n";
    return 0;
}

} // namespace zqlscope
