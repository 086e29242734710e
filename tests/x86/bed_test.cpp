// The x86 test bed itself: that it loads the DLL wherever it must sit, that
// it refuses what it cannot run and names what it does not serve, that a
// broken calling contract or a stray access is reported in words that name
// the call, and which roll-decode path each processor model takes.
#include <cstring>
#include <string>
#include <vector>

#include "support/emulated_calls.h"
#include "support/fixture.h"
#include "support/library.h"
#include "x86/imports.h"
#include "x86/machine.h"

namespace testbed {
namespace {

using X86BedTest = DeviceTest;

// Where the planted code of the contract tests sits: clear of the DLL, the
// stack, the stubs and the caller blocks.
constexpr x86::Address kPlantedCode = 0x10000000;
// A base other than the DLL's own, where its relocations must all be applied.
constexpr x86::Address kOtherBase = 0x11000000;

std::vector<std::uint8_t> DllFile() {
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(x86::ReadFile(ZQLUSB_X86_DLL, bytes));
    return bytes;
}

TEST_F(X86BedTest, RunsTheDllAtItsOwnBaseAndRelocatedElsewhere) {
    for (const x86::Address base : {PreferredBase(), kOtherBase}) {
        SCOPED_TRACE(testing::Message() << "base 0x" << std::hex << base);
        UnloadLibrary();
        vi::ResetDevice();
        LoadLibraryAt(base);
        ASSERT_EQ(USBInitDevice(), 0);
        DriverVersion version = {0, 0};
        GetDriverVersion(&version);
        EXPECT_EQ(version.MajorVersion, 1);
        EXPECT_EQ(version.MinorVersion, 3);
        Device().transfers.clear();
        USBWriteAddress(0x21);
        USBWriteData(0x7E);
        USBFlushBuffer();
        EXPECT_EQ(Streams(), (std::vector<Bytes>{{0x01, 0x21, 0x02, 0x7E}}));
    }
}

TEST(X86BedLoaderTest, RefusesWhatIsNotA32BitX86Dll) {
    const std::vector<std::uint8_t> dll = DllFile();
    ASSERT_GT(dll.size(), 0x200u);
    const std::uint32_t pe = dll[0x3C] | dll[0x3D] << 8;
    const struct {
        const char *change;
        std::size_t at; // a byte to set, or the length to cut the file to
        int value;      // -1: cut the file at `at`
        const char *why;
    } cases[] = {
        {"no MZ", 0, 'X', "not a Windows executable"},
        {"an x64 machine", pe + 4, 0x64, "not a 32-bit x86 image"},
        {"a 64-bit optional header", pe + 24, 0x0B, "not a 32-bit x86 image"},
        {"cut after the headers", 0x400, -1, "lies outside the file or the image"},
        {"cut inside the DOS header", 32, -1, "not a Windows executable"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.change);
        std::vector<std::uint8_t> file = dll;
        if (c.value < 0) {
            file.resize(c.at);
        } else {
            file[c.at] = static_cast<std::uint8_t>(c.value);
        }
        if (std::string(c.change) == "a 64-bit optional header") {
            file[pe + 25] = 0x02; // 0x20B, PE32+
        }
        x86::PeImage image;
        std::string why;
        EXPECT_FALSE(x86::ReadPeImage(file, image, why));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }
}

TEST(X86BedLoaderTest, AnImportTheBedDoesNotServeIsNamedBeforeAnythingRuns) {
    x86::PeImage image;
    std::string why;
    ASSERT_TRUE(x86::ReadPeImage(DllFile(), image, why)) << why;
    ASSERT_FALSE(image.imports.empty());
    x86::Import extra = image.imports.back();
    extra.dll = "kernel32.dll";
    extra.name = "GetTickCount";
    image.imports.push_back(extra);
    x86::PowerOn(x86::Processor::WithSsse3);
    std::vector<std::uint8_t> memory = image.memory;
    EXPECT_FALSE(x86::BindImports(image, memory.data(), why));
    EXPECT_EQ(why, "the DLL imports kernel32.dll!GetTickCount, which the x86 test bed does not serve");
    x86::PowerOff();
}

TEST(X86BedCallTest, ABrokenContractOrAStrayAccessIsReportedWithTheCallsName) {
    const struct {
        const char *code;
        std::vector<std::uint8_t> bytes; // called as stdcall with the record and one more word
        const char *says;
    } cases[] = {
        {"returns as cdecl", {0xC3}, "the stdcall contract is broken: the call removed 0 bytes of arguments, not 8"},
        {"pops one word too many", {0xC2, 0x0C, 0x00}, "removed 12 bytes of arguments, not 8"},
        {"loses EBX", {0xBB, 0x78, 0x56, 0x34, 0x12, 0xC2, 0x08, 0x00}, "callee-saved register EBX"},
        {"loses EBP", {0x31, 0xED, 0xC2, 0x08, 0x00}, "callee-saved register EBP"},
        // mov eax,[esp+4]; mov byte [eax+16],1: one past a 16-byte record
        {"writes past the record",
         {0x8B, 0x44, 0x24, 0x04, 0xC6, 0x40, 0x10, 0x01, 0xC2, 0x08, 0x00},
         "write of 1 bytes at 0x20002000 (0 bytes past the end of the test record (offset 16))"},
        // mov eax,[esp+8]; mov eax,[eax]: reads through the null second word
        {"reads through a null pointer",
         {0x8B, 0x44, 0x24, 0x08, 0x8B, 0x00, 0xC2, 0x08, 0x00},
         "read of 4 bytes at 0x00000000 (near a null pointer)"},
        {"runs an undefined instruction", {0x0F, 0x0B}, "Invalid instruction"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        x86::PowerOn(x86::Processor::WithSsse3);
        std::memcpy(x86::Map(kPlantedCode, 4096, "the planted code"), c.bytes.data(), c.bytes.size());
        const x86::Address record = x86::MapCallerBlock(16, "the test record");
        const x86::Outcome outcome = x86::Call("PlantedExport", kPlantedCode, {record, 0});
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.fault.rfind("PlantedExport: ", 0), 0u) << outcome.fault;
        EXPECT_NE(outcome.fault.find(c.says), std::string::npos) << outcome.fault;
        x86::PowerOff();
    }
}

TEST(X86BedCallTest, AWriteBeforeARecordsStartIsFoundWhenTheRecordIsReleased) {
    x86::PowerOn(x86::Processor::WithSsse3);
    // mov eax,[esp+4]; mov byte [eax-1],1; ret 8
    const std::uint8_t code[] = {0x8B, 0x44, 0x24, 0x04, 0xC6, 0x40, 0xFF, 0x01, 0xC2, 0x08, 0x00};
    std::memcpy(x86::Map(kPlantedCode, 4096, "the planted code"), code, sizeof code);
    const std::size_t mark = x86::BlockMark();
    const x86::Address record = x86::MapCallerBlock(16, "the test record");
    EXPECT_TRUE(x86::Call("PlantedExport", kPlantedCode, {record, 0}).ok);
    EXPECT_EQ(x86::ReleaseBlocks(mark), "wrote 1 bytes before the start of the test record");
    x86::PowerOff();
}

TEST(X86BedCallTest, EachProcessorModelAnswersCpuidAndRunsOnlyItsOwnInstructions) {
    using x86::Processor;
    const struct {
        Processor processor;
        std::vector<std::uint8_t> bytes; // called as stdcall with two words
        const char *says;                // "" when the call must succeed
        std::uint32_t eax;               // then what it returns
    } cases[] = {
        // push ebx; mov eax,1; cpuid; mov eax,ecx; pop ebx; ret 8: the feature bits of ECX
        {Processor::WithSsse3, {0x53, 0xB8, 1, 0, 0, 0, 0x0F, 0xA2, 0x89, 0xC8, 0x5B, 0xC2, 8, 0}, "", 0x201},
        {Processor::WithoutSsse3, {0x53, 0xB8, 1, 0, 0, 0, 0x0F, 0xA2, 0x89, 0xC8, 0x5B, 0xC2, 8, 0}, "", 0x001},
        // pshufb xmm0,xmm1; xor eax,eax; ret 8
        {Processor::WithSsse3, {0x66, 0x0F, 0x38, 0x00, 0xC1, 0x31, 0xC0, 0xC2, 8, 0}, "", 0},
        {Processor::WithoutSsse3,
         {0x66, 0x0F, 0x38, 0x00, 0xC1, 0x31, 0xC0, 0xC2, 8, 0},
         "ran pshufb xmm0, xmm1 (SSSE3), which a Pentium 4 (SSE3, no SSSE3) does not have",
         0},
        // ptest xmm0,xmm1 (SSE4.1), which neither model has
        {Processor::WithSsse3, {0x66, 0x0F, 0x38, 0x17, 0xC1, 0xC2, 8, 0}, "(SSE4.1), which a Core 2 (SSSE3)", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << x86::ProcessorName(c.processor) << ", " << c.says);
        x86::PowerOn(c.processor);
        std::memcpy(x86::Map(kPlantedCode, 4096, "the planted code"), c.bytes.data(), c.bytes.size());
        const x86::Outcome outcome = x86::Call("PlantedExport", kPlantedCode, {0, 0});
        if (c.says[0] == 0) {
            EXPECT_TRUE(outcome.ok) << outcome.fault;
            EXPECT_EQ(outcome.eax & 0x201, c.eax);
        } else {
            EXPECT_FALSE(outcome.ok);
            EXPECT_NE(outcome.fault.find(c.says), std::string::npos) << outcome.fault;
        }
        x86::PowerOff();
    }
}

TEST_F(X86BedTest, TheRollDecodeTakesThePathTheProcessorOffers) {
    Open();
    Device().acquisition.rollNextBlockPoints = ZQLUSB_ROLL_MAX_POINTS;
    std::unique_ptr<OutPutData> record(new OutPutData());
    const std::uint64_t before = x86::Ssse3Blocks();
    USBRetrieveRollModeData(record.get());
    const std::uint64_t ran = x86::Ssse3Blocks() - before;
    EXPECT_EQ(record->TempBufferA[0] | record->TempBufferA[1] << 8, ZQLUSB_ROLL_MAX_POINTS);
    const bool ssse3 = std::getenv("ZQLUSB_X86_PROCESSOR") == nullptr;
    std::printf("roll decode on %s: %llu blocks with SSSE3 instructions ran\n",
                x86::ProcessorName(ssse3 ? x86::Processor::WithSsse3 : x86::Processor::WithoutSsse3),
                static_cast<unsigned long long>(ran));
    if (ssse3) {
        EXPECT_GT(ran, 0u) << "the DLL did not take its SSSE3 path on a processor that has SSSE3";
    } else {
        EXPECT_EQ(ran, 0u); // and an SSSE3 instruction would have faulted
    }
}

TEST_F(X86BedTest, TheDllFreesEveryHeapBlockItTakes) {
    EXPECT_EQ(USBInitDevice(), 0);
    EXPECT_EQ(x86::HeapBlocksInUse(), 0u);
    Device().Detach();
    EXPECT_EQ(USBInitDevice(), ZQLUSB_INIT_FAILED);
    EXPECT_EQ(x86::HeapBlocksInUse(), 0u);
}

} // namespace
} // namespace testbed
