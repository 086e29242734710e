// zqlscope trace show and check on traces built byte by byte: the decoded
// lines a person reads, and the verdict with its exit status.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "commands.h"
#include "trace/trace_bytes.h"

namespace {

using namespace tracebytes;
namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

Outcome Zqlscope(const std::vector<std::string> &args) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = zqlscope::RunCommandLine(args);
    std::string out = ::testing::internal::GetCapturedStdout();
    return {status, out, ::testing::internal::GetCapturedStderr()};
}

std::string Saved(const Bytes &bytes, const std::string &name) {
    const fs::path path = fs::temp_directory_path() / ("zqlscope-trace-test-" + name + ".pcapng");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return path.string();
}

Bytes Stream(std::initializer_list<std::uint8_t> bytes) {
    return Bytes(bytes);
}

Bytes DeviceIoControl(std::uint32_t code, const Bytes &in, std::uint32_t out, const Bytes &reply = {}) {
    Bytes fields = Cat({Arguments({0x5A000001, code, in.size(), out}),
                        U32Field(zqltrace::kReturnedLength, std::uint32_t(reply.size()))});
    if (!in.empty()) {
        fields = Cat({fields, Field(zqltrace::kBytesRead, in)});
    }
    if (!reply.empty()) {
        fields = Cat({fields, Changed(0, reply)});
    }
    return fields;
}

// A session that touches every kind of command: register writes, the
// serial EEPROM read of word 5, a data block, the FPGA, the I2C EEPROM.
Trace Everything() {
    Trace t = Trace::Opened();
    std::uint32_t n = 1;
    auto add = [&](std::uint8_t kind, std::uint8_t call, std::uint32_t result, const Bytes &fields,
                   std::uint8_t depth = 0) {
        t.Record({kind, call, ++n, result, fields, 77, depth});
    };
    add(zqltrace::kPlatformCall, zqltrace::kCreateFileA, 0x5A000001, Field(zqltrace::kText, Text("\\\\?\\usb#zelqa0")));
    add(zqltrace::kExportCall, 3, 0, {});
    add(zqltrace::kRegisterWrites, 0, 0, Field(zqltrace::kWrites, {7, 0x10, 8, 0x42, 8, 0x43, 6, 0}));
    Bytes serial = {0x02, 0x0A}; // the deselect the previous read left pending
    for (int image : {0x2A, 0x0F, 0x2F, 0x0F, 0x2F, 0x0E, 0x2E, 0x0E, 0x2E, 0x0E,
                      0x2E, 0x0E, 0x2E, 0x0F, 0x2F, 0x0E, 0x2E, 0x0F, 0x2F, 0x0E}) {
        serial.insert(serial.end(), {0x02, std::uint8_t(image)});
    }
    serial.insert(serial.end(), {0x00, 0x00, 0x03, 0x08, 0, 0});
    add(zqltrace::kPlatformCall, zqltrace::kDeviceIoControl, 1, DeviceIoControl(0x220018, serial, 0));
    add(zqltrace::kPlatformCall, zqltrace::kDeviceIoControl, 1, DeviceIoControl(0x220024, {0, 0}, 2, {0x5A, 0x45}));
    add(zqltrace::kPlatformCall, zqltrace::kDeviceIoControl, 1,
        DeviceIoControl(0x220018, Stream({0x01, 0x20, 0x02, 0x55, 0x00, 0x00, 0x03, 0x09, 0x00, 0x1F}), 0));
    Bytes fpga;
    for (int bit = 0; bit < 8; ++bit) { // 0xA5
        const bool one = (0xA5 >> (7 - bit)) & 1;
        fpga.insert(fpga.end(), {std::uint8_t(one ? 0xF4 : 0xE4), std::uint8_t(one ? 0xD4 : 0xC4),
                                 std::uint8_t(one ? 0xF4 : 0xE4)});
    }
    add(zqltrace::kPlatformCall, zqltrace::kDeviceIoControl, 1, DeviceIoControl(0x22001C, fpga, 24));
    add(zqltrace::kPlatformCall, zqltrace::kMessageBoxA, 4,
        Cat({Field(zqltrace::kText, Text("No answer.\nRetry?")), Field(zqltrace::kText, Text("Zelqa not ready"))}));
    add(zqltrace::kExportCall, 8, 0, Arguments({0x42}), 1);
    add(zqltrace::kPlatformCall, zqltrace::kDeviceIoControl, 1,
        DeviceIoControl(0x220018, Stream({0x0C, 0x13, 0x0E, 0x01, 0x00, 0x7F, 0x0C, 0x00}), 0));
    add(zqltrace::kPlatformCall, zqltrace::kDeviceIoControl, 1,
        DeviceIoControl(0x220018, Stream({0x0C, 0x13, 0x00, 0x00, 0x03, 0x0A, 0x00, 0x3F}), 0));
    add(zqltrace::kSessionEnd, 0, 0, {});
    return t;
}

TEST(TraceCommand, ShowDecodesEachCallAndItsCommandStream) {
    const std::string path = Saved(Everything().bytes, "everything");
    const Outcome o = Zqlscope({"trace", "show", path});
    EXPECT_EQ(o.status, 0) << o.err;
    for (const char *line : {
             "      2  0.000000  thread 77  depth 0  CreateFileA(\"\\\\?\\usb#zelqa0\") = 0x5A000001",
             "USBInitDevice() = 0",
             "register writes: 4 USBSetEPB / USBWriteAddress / USBWriteData calls\n"
             "        address 0x10, data 0x42 0x43\n        EPB\n",
             "IOCTL_SCOPE_WRITE_STREAM, in 48, out 0) = 1",
             "        serial EEPROM: deselect after the previous read (data 0x0A)\n"
             "        serial EEPROM: read word 5 (20 port images",
             "        nop (aligns the read request)\n"
             "        read request: the serial EEPROM word (2 bytes, high first)\n",
             "IOCTL_SCOPE_READ, in 2, out 2) = 1, returned 2\n        reply: the word 0x5A45\n",
             "        address 0x20, data 0x55\n        nop (aligns the read request)\n"
             "        read request: data block, packet count 0x001F (32 packets, 2048 bytes) (at byte 6, not a "
             "multiple of 4)\n",
             "        FPGA bit stream: 1 byte in 24 port images: A5\n",
             "MessageBoxA(\"No answer.\\nRetry?\", \"Zelqa not ready\") = Retry",
             "depth 1  USBWriteData(data=66 (0x42)) = 0",
             "        I2C EEPROM: open\n        I2C EEPROM: write 0x7F at 0x0100\n        I2C EEPROM: close\n",
             "read request: roll-mode block, packet count 0x003F (64 packets, 4096 bytes)",
             "session end\nA complete trace of 13 records, closed.\n",
         }) {
        EXPECT_NE(o.out.find(line), std::string::npos) << "missing:\n" << line << "\nin:\n" << o.out;
    }
    EXPECT_EQ(o.out.find("field 2 (bytes read)"), std::string::npos);
    const Outcome raw = Zqlscope({"trace", "show", "--raw", path});
    EXPECT_NE(raw.out.find("field 2 (bytes read), 8 bytes\n          0000: 0C 13 0E 01 00 7F 0C 00\n"),
              std::string::npos)
        << raw.out;
    fs::remove(path);
}

TEST(TraceCommand, CheckGivesTheVerdictAndItsExitStatus) {
    const Bytes good = Everything().bytes;
    Bytes unused = good;
    unused.resize(unused.size() + 1024, 0);
    const Bytes cut(good.begin(), good.end() - 7);
    const struct {
        const char *name;
        Bytes bytes;
        int status;
        const char *says;
    } cases[] = {
        {"closed", good, 0, "A complete trace of 13 records, closed."},
        {"unused", unused, 1, "Readable, but not closed: 1024 bytes of unused space"},
        {"cut", cut, 1, "Truncated: the file ends inside record 13 (byte offset"},
        {"foreign", Text("not a trace at all"), 1, "Foreign: not a pcapng file"},
    };
    for (const auto &c : cases) {
        const std::string path = Saved(c.bytes, c.name);
        const Outcome o = Zqlscope({"trace", "check", path});
        EXPECT_EQ(o.status, c.status) << c.name << ": " << o.out << o.err;
        EXPECT_EQ(o.out, path + ": " + std::string(o.out.substr(path.size() + 2))) << c.name;
        EXPECT_NE(o.out.find(c.says), std::string::npos) << c.name << ": " << o.out;
        EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1) << c.name << ": one line, " << o.out;
        fs::remove(path);
    }
    // show reads what is readable: the records before the cut, then the reason.
    const std::string path = Saved(cut, "cut-show");
    const Outcome shown = Zqlscope({"trace", "show", path});
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.out.find("I2C EEPROM: open"), std::string::npos);
    EXPECT_NE(shown.out.find("Truncated:"), std::string::npos);
    fs::remove(path);
}

TEST(TraceCommand, MistakesInTheCommandLineAreUsageErrors) {
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"trace"},
                                               {"trace", "list", "x"},
                                               {"trace", "show"},
                                               {"trace", "check", "a", "b"},
                                               {"trace", "check", "--raw", "a"}}) {
        const Outcome o = Zqlscope(args);
        EXPECT_EQ(o.status, 2) << args.size() << ": " << o.err;
        EXPECT_NE(o.err.find("usage: zqlscope trace"), std::string::npos) << o.err;
    }
    const Outcome missing = Zqlscope({"trace", "check", "/nonexistent/trace.pcapng"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("/nonexistent/trace.pcapng"), std::string::npos) << missing.err;
}

} // namespace
