// The trace build of the library, loaded as an application loads it (under
// Wine: the trace DLL with its imports patched to the stand-in; natively
// build/native/trace/libzqlusb.so): a known session's records read back
// from the file, a known call's exact bytes, the size limit's two parts,
// calls from inside the retry dialog, and a trace that cannot be written.
#include "trace/trace_fixture.h"

namespace tracetest {
namespace {

TEST_F(TraceTest, AKnownCallHasExactlyItsBytes) {
    // A wrong confirmation code: nothing is sent, the result is 2730.
    ASSERT_EQ(USBReadI2CEEPROM(0x2345, 0x1234), 2730);
    const Trace t = Finish();
    ASSERT_EQ(t.records.size(), 3u); // session start, the call, session end
    Bytes expected = {0, 12, 0, 6, 'z', 'q', 'l', 'u', 's', 'b', 0, 0, 0, 0};
    Put(expected, {kExportCall, 10, 0, 0});
    Put(expected, Le32(ThisThread()));
    Put(expected, Le32(2));    // the second record
    Put(expected, Le32(2730)); // the result
    Put(expected, {kArguments, 0});
    Put(expected, Le32(16));
    Put(expected, Le64(0x2345));
    Put(expected, Le64(0x1234));
    EXPECT_BYTES(t.records[1].packet, expected);
}

TEST_F(TraceTest, ASessionIsRecordedCallByCallWithItsPlatformCalls) {
    ASSERT_EQ(USBInitDevice(), 0);
    DriverVersion version = {0, 0};
    GetDriverVersion(&version);
    USBSetEPB();
    USBWriteAddress(0x21);
    USBWriteData(0x7E);
    USBFlushBuffer();
    std::unique_ptr<OutPutData> record(new OutPutData());
    ZqlusbSetScopeRequest(record.get(), 100, 10, 3);
    ASSERT_EQ(USBRetrieveScopeData(record.get()), 0);
    unsigned short word = 0;
    USBReadFromEEPROM(1, &word);
    const std::vector<vi::Transfer> transfers = Device().transfers;
    const Trace t = Finish();

    EXPECT_EQ(t.application, "zqlusb " ZQLUSB_TEST_VERSION " trace");
    ASSERT_GE(t.records.size(), 4u);
    EXPECT_EQ(t.records.front().kind, kSessionStart);
    EXPECT_EQ(t.records.front().Text(), ZQLUSB_TEST_VERSION);
    EXPECT_EQ(t.records.front().Arguments().at(1), testbed::kX86Dll ? 32u : 8 * sizeof(void *));
    EXPECT_EQ(t.records.back().kind, kSessionEnd);
    for (std::size_t i = 0; i < t.records.size(); ++i) {
        EXPECT_EQ(t.records[i].number, i + 1);
        EXPECT_EQ(t.records[i].depth, 0);
        EXPECT_EQ(t.records[i].thread, ThisThread());
        EXPECT_TRUE(i == 0 || t.records[i].time >= t.records[i - 1].time) << "record " << i + 1;
    }
    // The open: the device set, the path opened, the handle returned.
    const std::vector<Record> opens = Of(t, kPlatformCall, kCreateFileA);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_NE(opens[0].Text().find("\\\\"), std::string::npos) << opens[0].Text();
    EXPECT_EQ(Of(t, kPlatformCall, kSetupDiGetClassDevsA).size(), 1u);
    EXPECT_EQ(Of(t, kPlatformCall, kSetupDiDestroyDeviceInfoList).size(), 1u);
    EXPECT_EQ(Of(t, kExportCall, 3).at(0).result, 0u);
    EXPECT_BYTES(Of(t, kExportCall, 4).at(0).One(kBytesChanged), (Bytes{0, 0, 0, 0, 1, 3}));
    // The three register writes in one run, in order.
    const std::vector<Record> runs = Of(t, kRegisterWrites, 0);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_BYTES(runs[0].One(kWrites), (Bytes{6, 0, 7, 0x21, 8, 0x7E}));
    // Every transfer the driver saw, in order, with what went in and came out.
    const std::vector<Record> controls = Of(t, kPlatformCall, kDeviceIoControl);
    ASSERT_EQ(controls.size(), transfers.size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        SCOPED_TRACE("transfer " + std::to_string(i));
        const vi::Transfer &seen = transfers[i];
        const std::vector<std::uint64_t> arguments = controls[i].Arguments();
        ASSERT_EQ(arguments.size(), 4u);
        EXPECT_EQ(arguments[1], seen.code);
        EXPECT_EQ(arguments[2], seen.inLength);
        EXPECT_EQ(arguments[3], seen.outLength);
        EXPECT_EQ(controls[i].result, seen.ok ? 1u : 0u);
        EXPECT_EQ(controls[i].Word(kReturnedLength), seen.returned);
        if (seen.code == testbed::IOCTL_SCOPE_READ) {
            Bytes delivered = Le32(0);
            Put(delivered, seen.bytes);
            EXPECT_BYTES(controls[i].One(kBytesChanged), delivered);
        } else if (seen.code == testbed::IOCTL_SCOPE_WRITE_STREAM) {
            EXPECT_BYTES(controls[i].One(kBytesRead), seen.bytes);
        }
        if (testbed::kWindowsDll) {
            EXPECT_EQ(controls[i].All(kLastError).size(), 1u);
        }
    }
    // The scope request: its header as read, then the points of A and B from
    // DataOffset to the last point (index 10 + 33 * 3).
    const Record scope = Of(t, kExportCall, 16).at(0);
    EXPECT_BYTES(scope.One(kBytesRead), (Bytes{100, 0, 10, 0, 3, 0}));
    const std::vector<Bytes> changed = scope.All(kBytesChanged);
    ASSERT_EQ(changed.size(), 2u);
    Bytes a = Le32(10), b = Le32(32768 + 10);
    a.insert(a.end(), record->TempBufferA + 10, record->TempBufferA + 110);
    b.insert(b.end(), record->TempBufferB + 10, record->TempBufferB + 110);
    EXPECT_BYTES(changed[0], a);
    EXPECT_BYTES(changed[1], b);
    const Record eeprom = Of(t, kExportCall, 14).at(0);
    EXPECT_EQ(eeprom.Arguments().at(0), 1u);
    EXPECT_BYTES(eeprom.One(kBytesChanged),
                 (Bytes{0, 0, 0, 0, static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)}));
}

// The arguments of each call that are pointers, by position: their values
// depend on where a process keeps its memory, so a record's canonical form
// says only whether one is null.
std::uint32_t PointerArguments(std::uint8_t kind, std::uint8_t call) {
    if (kind == kExportCall) {
        switch (call) {
        case 14: // USBReadFromEEPROM(address, ReturnValue)
            return 1u << 1;
        case 4:
        case 12:
        case 13:
        case 15:
        case 16:
        case 17:
        case 18: // the caller's record first
            return 1u << 0;
        default:
            return 0;
        }
    }
    switch (kind == kPlatformCall ? call : 0) {
    case kSetupDiGetClassDevsA:
    case kMessageBoxA:
        return 0b111;
    case kSetupDiEnumDeviceInterfaces:
        return 0b10110;
    case kSetupDiGetDeviceInterfaceDetailA:
        return 0b110110;
    case kCreateFileA:
        return 0b1001001;
    default:
        return 0;
    }
}

// A record as every build of the library writes it, in text: all of it but
// what legitimately differs between builds and runs. Left out: the thread
// id; the session start's version (checked apart), process id and pointer
// width; pointers'
// values; kernel32's last error (Windows builds only); and the SetupAPI
// records that the interface calls read and write (28 and 5 bytes on 32-bit
// Windows, 32 and 8 elsewhere).
std::string Canonical(const Record &r) {
    std::string line = std::to_string(r.kind) + "." + std::to_string(r.call) + " depth " + std::to_string(r.depth) +
                       " #" + std::to_string(r.number) + " = " + std::to_string(r.result);
    const bool setupRecords = r.kind == kPlatformCall &&
                              (r.call == kSetupDiEnumDeviceInterfaces || r.call == kSetupDiGetDeviceInterfaceDetailA);
    for (const Field &f : r.fields) {
        if (f.tag == kLastError || (setupRecords && (f.tag == kBytesRead || f.tag == kBytesChanged))) {
            continue;
        }
        line += " | " + std::to_string(f.tag) + ":";
        if (r.kind == kSessionStart) {
            line += f.tag == kArguments ? " (process, width)"
                    : f.tag == kText    ? " (version)"
                                        : " " + testbed::Hex(f.bytes);
        } else if (f.tag == kArguments) {
            for (std::size_t i = 0; i * 8 < f.bytes.size(); ++i) {
                const std::uint64_t value = U64(f.bytes.data() + i * 8);
                const bool pointer = (PointerArguments(r.kind, r.call) >> i & 1) != 0;
                line += pointer ? (value == 0 ? " null" : " pointer") : " " + std::to_string(value);
            }
        } else {
            line += " " + testbed::Hex(f.bytes);
        }
    }
    return line;
}

// A known session's records, the same in the native library, the 32- and
// 64-bit DLLs under Wine and the 32-bit DLL in the emulated processor.
TEST_F(TraceTest, AKnownSessionHasTheSameRecordsInEveryBuild) {
    ASSERT_EQ(USBInitDevice(), 0);
    DriverVersion version = {0, 0};
    GetDriverVersion(&version);
    USBWriteAddress(0x21);
    USBWriteData(0x7E);
    EXPECT_EQ(DeviceReady(), 1);
    std::unique_ptr<OutPutData> record(new OutPutData());
    ZqlusbSetScopeRequest(record.get(), 4, 2, 2);
    USBRetrieveScopeData(record.get());
    unsigned short word = 0;
    USBReadFromEEPROM(1, &word);
    USBReadI2CEEPROM(0x2345, 0x1234); // a wrong code: nothing sent
    const Trace t = Finish();
    const std::vector<std::string> expected = {
        "1.0 depth 0 #1 = 0 | 4: (version) | 1: (process, width)",
        "3.1 depth 0 #2 = 2113929217 | 1: pointer null null 18 | 2: FC 0D F4 D0 5C ED 80 40 BA 0C DD 1B AA 4E 8F 2A",
        "3.2 depth 0 #3 = 1 | 1: 2113929217 null pointer 0 pointer",
        "3.3 depth 0 #4 = 0 | 1: 2113929217 pointer null 0 pointer null | 6: 4C 00 00 00",
        "3.3 depth 0 #5 = 1 | 1: 2113929217 pointer pointer 76 null null",
        "3.5 depth 0 #6 = 1509949442 | 1: pointer 3221225472 3 null 3 0 null | 4: 5C 5C 3F 5C 75 73 62 23 76 69 64 5F "
        "35 61 35 31 26 70 69 64 5F 30 30 30 32 23 7A 65 6C 71 61 30 23 7B 64 30 66 34 30 64 66 63 2D 65 64 35 63 2D "
        "34 30 38 30 2D 62 61 30 63 2D 64 64 31 62 61 61 34 65 38 66 32 61 7D",
        "3.4 depth 0 #7 = 1 | 1: 2113929217",
        "2.3 depth 0 #8 = 0",
        "2.4 depth 0 #9 = 0 | 1: pointer | 3: 00 00 00 00 01 03",
        "4.0 depth 0 #10 = 0 | 7: 07 21 08 7E",
        "3.6 depth 0 #11 = 1 | 1: 1509949442 2228264 0 0 | 6: 00 00 00 00",
        "2.2 depth 0 #12 = 1",
        "3.6 depth 0 #13 = 1 | 1: 1509949442 2228248 8 0 | 2: 01 21 02 7E 03 09 00 00 | 6: 00 00 00 00",
        "3.6 depth 0 #14 = 1 | 1: 1509949442 2228260 64 64 | 2: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 | 3: 00 00 00 00 80 BC 81 BC 83 BC 84 BC 85 BC 86 BC 88 BC 89 BC 8A BC 8B BC 8D "
        "BC 8E BC 8F BC 90 BC 92 BC 93 BC 94 BC 95 BC 96 BC 98 BC 99 BC 9A BC 9B BC 9D BC 9E BC 9F BC A0 BC A1 BC A2 "
        "BC A4 BC A5 BC A6 BC | 6: 40 00 00 00",
        "2.16 depth 0 #15 = 0 | 1: pointer | 2: 04 00 02 00 02 00 | 3: 02 00 00 00 80 00 81 | 3: 02 80 00 00 BC 00 BC",
        "3.6 depth 0 #16 = 1 | 1: 1509949442 2228248 44 0 | 2: 02 2A 02 0F 02 2F 02 0F 02 2F 02 0E 02 2E 02 0E 02 2E "
        "02 0E 02 2E 02 0E 02 2E 02 0E 02 2E 02 0E 02 2E 02 0F 02 2F 02 0E 03 08 00 00 | 6: 00 00 00 00",
        "3.6 depth 0 #17 = 1 | 1: 1509949442 2228260 2 2 | 2: 00 00 | 3: 00 00 00 00 4C 51 | 6: 02 00 00 00",
        "2.14 depth 0 #18 = 0 | 1: 1 pointer | 3: 00 00 00 00 51 4C",
        "2.10 depth 0 #19 = 2730 | 1: 9029 4660",
        "6.0 depth 0 #20 = 0",
    };
    std::vector<std::string> seen;
    for (const Record &r : t.records) {
        seen.push_back(Canonical(r));
    }
    EXPECT_EQ(seen, expected);
}

TEST_F(TraceTest, CallsFromInsideTheDialogAreRecordedOneLevelDeeper) {
    ASSERT_EQ(USBInitDevice(), 0);
    SetDLLBehaviour(1);
    USBWriteAddress(0x10);
    Device().faults.failWrites = 2;
    Device().dialogAnswers = {2}; // Cancel
    Device().whileDialogShown = [](vi::Instrument &) {
        DeviceReady();
        USBWriteData(0x02);
    };
    USBFlushBuffer();
    const Trace t = Finish();
    const std::vector<Record> boxes = Of(t, kPlatformCall, kMessageBoxA);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text(0), Device().dialogs.at(0).text);
    EXPECT_EQ(boxes[0].Text(1), Device().dialogs.at(0).caption);
    EXPECT_EQ(boxes[0].result, 2u);
    EXPECT_EQ(boxes[0].depth, 0);
    const Record ready = Of(t, kExportCall, 2).at(0);
    EXPECT_EQ(ready.depth, 1);
    EXPECT_LT(ready.number, boxes[0].number) << "a call from the dialog returns before the dialog";
    const std::vector<Record> runs = Of(t, kRegisterWrites, 0);
    ASSERT_EQ(runs.size(), 2u) << "the write from the dialog starts a run of its own";
    EXPECT_EQ(runs[1].depth, 1);
    EXPECT_BYTES(runs[1].One(kWrites), (Bytes{8, 0x02}));
    EXPECT_EQ(Of(t, kExportCall, 5).at(0).depth, 0);
}

TEST_F(TraceTest, TheSizeLimitKeepsTheNewestPartAndTheOneBefore) {
    SetVariable("ZQLUSB_TRACE_MAX_MB", "1"); // two parts of at most 512 KiB
    testbed::UnloadLibrary();
    testbed::LoadFreshLibrary();
    ASSERT_EQ(USBInitDevice(), 0);
    std::unique_ptr<OutPutData> record(new OutPutData());
    constexpr int kReads = 12; // about 190 KiB of records each
    for (int i = 0; i < kReads; ++i) {
        USBRetrievePreTriggerData(record.get());
    }
    const Trace newest = Finish();
    const Trace before = ReadTrace(older);
    EXPECT_EQ(before.problem, "");
    ASSERT_GE(newest.records.size(), 3u);
    EXPECT_EQ(newest.records[0].kind, kSessionStart);
    const Record continued = newest.records[1];
    ASSERT_EQ(continued.kind, kContinued);
    ASSERT_FALSE(before.records.empty());
    EXPECT_NE(continued.Text().find("zqlusb-trace-test-"), std::string::npos) << continued.Text();
    EXPECT_NE(continued.Text().find(".1.pcapng"), std::string::npos) << continued.Text();
    EXPECT_EQ(continued.Arguments().at(0), before.records.back().number);
    // Numbers go on across the parts: the new part's own first records count too.
    EXPECT_EQ(newest.records[0].number, before.records.back().number + 1);
    EXPECT_EQ(newest.records[2].number, continued.number + 1);
    EXPECT_EQ(newest.records.back().kind, kSessionEnd);
    EXPECT_GT(before.records.front().number, 1u) << "the oldest part was dropped";
    for (const std::string &file : {path, older}) {
        EXPECT_LE(FileBytes(file).size(), 512u * 1024 + 200 * 1024) << file;
    }
}

TEST_F(TraceTest, ATraceThatCannotBeWrittenChangesNothing) {
    SetVariable("ZQLUSB_TRACE", TempFolder() + "no-such-folder/x/trace.pcapng");
    testbed::UnloadLibrary();
    testbed::LoadFreshLibrary();
    EXPECT_EQ(USBInitDevice(), 0);
    std::unique_ptr<OutPutData> record(new OutPutData());
    EXPECT_EQ(USBRetrieveRollModeData(record.get()), 0);
    EXPECT_GT(record->TempBufferA[0] | (record->TempBufferA[1] << 8), 0);
}

} // namespace
} // namespace tracetest
