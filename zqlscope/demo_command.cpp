// demo: a whole typical session, printed as a transcript, with CSV files and
// SVG plots of everything retrieved.
#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <iostream>

#include "commands.h"
#include "file_checks.h"
#include "session.h"
#include "zqlusb.h"

namespace zqlscope {

namespace {
// The built-in test bit stream: this many bytes of a fixed pattern.
constexpr std::size_t kTestBitStreamBytes = 4096;
// Register set-up of the demo: address/data pairs, collected before the capture.
constexpr unsigned char kSetUp[][2] = {{0x00, 0x01}, {0x01, 0x20}, {0x02, 0x80}, {0x03, 0x10},
                                       {0x04, 0x00}, {0x05, 0x7F}, {0x06, 0x03}, {0x07, 0x01}};
constexpr long kDemoRecordPoints = 4096;
constexpr long kDemoRollBlocks = 3;
constexpr unsigned kDemoSerialWords = 8;
constexpr unsigned kDemoI2cBytes = 16;

std::vector<unsigned char> TestBitStream() {
    std::vector<unsigned char> stream(kTestBitStreamBytes);
    unsigned state = 0x2F6B;
    for (unsigned char &byte : stream) { // a 16-bit linear feedback shift register
        state = (state >> 1) ^ (-(state & 1u) & 0xB400u);
        byte = static_cast<unsigned char>(state);
    }
    return stream;
}

void Step(const std::string &what, const std::string &result) {
    std::cout << "  " << std::left << std::setw(18) << what << result << '\n';
}

std::string Range(const Trace &trace) {
    auto span = [](const std::vector<std::uint8_t> &v) {
        auto [low, high] = std::minmax_element(v.begin(), v.end());
        return v.empty() ? std::string("-") : std::to_string(*low) + ".." + std::to_string(*high);
    };
    return Count(static_cast<long long>(trace.index.size()), "point") + ", A " + span(trace.a) + ", B " + span(trace.b);
}

void Save(const std::string &dir, const std::string &name, const std::string &title, const Trace &trace,
          std::vector<std::string> &written) {
    WriteCsv(dir + "/" + name + ".csv", trace);
    WriteSvg(dir + "/" + name + ".svg", title, "point number", trace);
    written.push_back(dir + "/" + name + ".csv");
    written.push_back(dir + "/" + name + ".svg");
}
} // namespace

int Demo(const CommandSpec &, const Arguments &args) {
    const std::string dir = args.Text("--out", "demo-output");
    std::error_code error;
    std::filesystem::create_directories(PathOf(dir), error);
    if (error) {
        throw RunError("cannot create the output folder " + dir + ": " + error.message());
    }
    std::cout << "zqlscope demo: a typical session with the instrument\n";
    OpenInstrument(args);
    Step("open", "USBInitDevice returned 0");
    Step("ready", DeviceReady() ? "DeviceReady: yes" : "DeviceReady: no");
    DriverVersion version{};
    GetDriverVersion(&version);
    Step("driver version", std::to_string(version.MajorVersion) + "." + std::to_string(version.MinorVersion));
    std::vector<unsigned char> stream = TestBitStream();
    USBLoadFPGA(stream.data(), static_cast<int>(stream.size()));
    CheckLink("the FPGA load");
    Step("FPGA", "loaded the " + std::to_string(stream.size()) + "-byte test bit stream");
    for (auto &pair : kSetUp) {
        USBWriteAddress(pair[0]);
        USBWriteData(pair[1]);
    }
    Step("set-up", std::to_string(std::size(kSetUp)) + " register writes collected");
    std::vector<std::string> written;
    RecordRequest request;
    request.count = kDemoRecordPoints;
    Trace record = RetrieveRecord(request);
    CheckLink("the scope record");
    Step("capture", Range(record) + " (set-up sent ahead of the request)");
    Save(dir, "capture", "Scope record", record, written);
    Trace roll;
    for (long i = 1; i <= kDemoRollBlocks; ++i) {
        RollBlock block = RetrieveRollBlock(static_cast<long long>(roll.index.size()));
        CheckLink("roll block " + std::to_string(i));
        Step("roll block " + std::to_string(i), Count(static_cast<long long>(block.trace.index.size()), "point") +
                                                    ", " + (block.invalid ? "marked invalid" : "valid"));
        roll.index.insert(roll.index.end(), block.trace.index.begin(), block.trace.index.end());
        roll.a.insert(roll.a.end(), block.trace.a.begin(), block.trace.a.end());
        roll.b.insert(roll.b.end(), block.trace.b.begin(), block.trace.b.end());
    }
    Save(dir, "roll", "Roll mode", roll, written);
    Trace pre = RetrievePreTrigger();
    CheckLink("the pre-trigger memory");
    Step("pre-trigger", Range(pre));
    Save(dir, "pretrigger", "Pre-trigger memory", pre, written);
    std::string words8;
    for (unsigned word = 0; word < kDemoSerialWords; ++word) {
        unsigned short value = 0;
        USBReadFromEEPROM(static_cast<unsigned short>(word), &value);
        CheckLink("the serial EEPROM's word " + std::to_string(word));
        words8 += Hex(value, 4).substr(2) + " ";
    }
    Step("serial EEPROM", "words 0-7: " + words8);
    std::string bytes;
    for (std::uint8_t b : ReadI2c(0, kDemoI2cBytes)) {
        bytes += Hex(b, 2).substr(2) + " ";
    }
    Step("I2C EEPROM", "bytes 0x0000-0x000F: " + bytes);
    std::cout << "plots and CSV files are in " << dir << "/:\n";
    for (const std::string &path : written) {
        std::cout << "  " << path << '\n';
    }
    return 0;
}

} // namespace zqlscope
