// info, fpga, i2c, serial and write: the instrument's memories, its FPGA and
// its registers.
#include <fstream>
#include <iostream>
#include <iterator>

#include "commands.h"
#include "session.h"
#include "zqlusb.h"

namespace zqlscope {

namespace {
const std::set<std::string> kFlags = {"--dialog", "--help"};
// Words of the serial EEPROM.
constexpr unsigned kSerialWords = 64;
// Bytes of the I2C EEPROM.
constexpr long kI2cBytes = 0x10000;
// Larger than any FPGA configuration of the instrument; the loader expands
// each byte 24-fold in memory.
constexpr long kMaxBitStream = 8L << 20;

std::vector<unsigned char> ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw RunError("cannot read the bit stream file " + path);
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw RunError("cannot read the bit stream file " + path);
    }
    return bytes;
}

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
    return OptionNumber(args, "--code", -1, 0, 0xFFFFFFFFLL);
}
} // namespace

int Info(const Words &words) {
    Arguments args = Parse(words, {}, kFlags);
    OpenInstrument(args);
    DriverVersion version{};
    GetDriverVersion(&version);
    std::cout << "instrument:      opened\n"
              << "ready:           " << (DeviceReady() ? "yes" : "no") << '\n'
              << "driver version:  " << int(version.MajorVersion) << '.' << int(version.MinorVersion) << '\n'
              << "serial EEPROM:";
    for (unsigned word = 0; word < kSerialWords; ++word) {
        std::cout << (word % 8 == 0 ? "\n  " + Hex(word, 2) + ":" : "") << ' ' << Hex(SerialWord(word), 4).substr(2);
    }
    std::cout << '\n';
    return 0;
}

int Fpga(const Words &words) {
    Arguments args = Parse(words, {}, kFlags);
    if (args.words.size() != 2 || args.words[0] != "load") {
        throw UsageError("expected: fpga load FILE");
    }
    std::vector<unsigned char> stream = ReadFile(args.words[1]);
    if (stream.empty() || static_cast<long>(stream.size()) > kMaxBitStream) {
        throw UsageError("the bit stream file must hold 1 to " + std::to_string(kMaxBitStream) + " bytes, not " +
                         std::to_string(stream.size()));
    }
    OpenInstrument(args);
    USBLoadFPGA(stream.data(), static_cast<int>(stream.size()));
    std::cout << "FPGA: sent " << stream.size() << " bytes (" << stream.size() * 8 << " configuration bits)\n";
    return 0;
}

int I2c(const Words &words) {
    Arguments args = Parse(words, {"--code"}, kFlags);
    if (args.words.size() < 2 || (args.words[0] != "read" && args.words[0] != "write")) {
        throw UsageError("expected: i2c read ADDR [COUNT] or i2c write ADDR VALUE...");
    }
    const unsigned address = static_cast<unsigned>(Number("ADDR", args.words[1], 0, kI2cBytes - 1));
    const long long code = CodeOption(args);
    if (args.words[0] == "read") {
        if (args.words.size() > 3) {
            throw UsageError("expected: i2c read ADDR [COUNT]");
        }
        long count =
            args.words.size() == 3 ? static_cast<long>(Number("COUNT", args.words[2], 1, kI2cBytes - address)) : 1;
        OpenInstrument(args);
        HexDump(address, ReadI2c(address, static_cast<unsigned>(count), code));
        return 0;
    }
    std::vector<std::uint8_t> values;
    for (std::size_t i = 2; i < args.words.size(); ++i) {
        values.push_back(static_cast<std::uint8_t>(Number("VALUE", args.words[i], 0, 255)));
    }
    if (values.empty() || address + values.size() > kI2cBytes) {
        throw UsageError("i2c write needs 1 to " + std::to_string(kI2cBytes - address) + " values after ADDR");
    }
    OpenInstrument(args);
    WriteI2c(address, values, code);
    std::cout << "I2C EEPROM: wrote " << values.size() << " byte(s) from " << Hex(address, 4) << '\n';
    return 0;
}

int Serial(const Words &words) {
    Arguments args = Parse(words, {}, kFlags);
    if (args.words.size() != 2 || args.words[0] != "read") {
        throw UsageError("expected: serial read WORD");
    }
    const unsigned word = static_cast<unsigned>(Number("WORD", args.words[1], 0, kSerialWords - 1));
    OpenInstrument(args);
    std::cout << "serial EEPROM word " << word << ": " << Hex(SerialWord(word), 4) << '\n';
    return 0;
}

int Write(const Words &words) {
    Arguments args = Parse(words, {}, kFlags);
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
    std::cout << "registers: " << writes.size() << " write(s) sent\n";
    return 0;
}

} // namespace zqlscope
