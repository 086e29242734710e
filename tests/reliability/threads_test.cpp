// Several threads calling the library at once. The virtual instrument is not
// thread-safe and is reached only through library calls, so the library's
// one lock is all that keeps these runs orderly: every call's commands must
// reach the instrument whole and in order, nothing may be lost, and every
// read must get its own answer.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "support/fixture.h"
#include "support/library.h"

namespace testbed {
namespace {

using ThreadsTest = DeviceTest;

constexpr int kRounds = 2000;
constexpr int kAddressWriters = 2; // each writes addresses from its own half of 0-255
constexpr int kAddressesEach = 128;
constexpr std::uint8_t kPlanted = 0x6B;
constexpr int kScopeCount = 32; // points per scope record: one packet
constexpr unsigned short kWord = 9;

// Holds every thread back until all have started, so that their calls overlap.
std::atomic<bool> go{false};
void AwaitStart() {
    while (!go.load()) {
        std::this_thread::yield();
    }
}

// What one thread saw go wrong, counted and checked after all have joined
// (the assertions of the test framework are not for several threads).
struct Tally {
    int wrongAnswers = 0;
};

void WriteAddresses(int writer) {
    AwaitStart();
    for (int i = 0; i < kRounds; ++i) {
        USBWriteAddress(static_cast<unsigned char>(writer * kAddressesEach + i % kAddressesEach));
    }
}

void ReadBytesAndBlocks(Tally &tally, const Bytes &block) {
    AwaitStart();
    for (int i = 0; i < kRounds; ++i) {
        tally.wrongAnswers += USBReadData() == kPlanted ? 0 : 1;
        std::array<std::uint8_t, 64> area{};
        USBReadDataBlock(area.data(), 64);
        tally.wrongAnswers += std::memcmp(area.data(), block.data(), area.size()) == 0 ? 0 : 1;
    }
}

void RetrieveRecords(Tally &tally, const Bytes &block) {
    AwaitStart();
    auto record = std::make_unique<OutPutData>();
    for (int i = 0; i < kRounds; ++i) {
        std::memset(record.get(), 0, sizeof *record);
        record->TempBufferA[0] = kScopeCount; // DataCount; DataOffset 0
        record->TempBufferA[4] = 1;           // Step 1
        USBRetrieveScopeData(record.get());
        for (int k = 0; k < kScopeCount; ++k) {
            const bool same = record->TempBufferA[k] == block[2 * k] && record->TempBufferB[k] == block[2 * k + 1];
            tally.wrongAnswers += same ? 0 : 1;
        }
    }
}

// The serial EEPROM is clocked bit by bit through data writes: any command
// of another call between them would garble the word.
void ReadWords(Tally &tally, unsigned short expected) {
    AwaitStart();
    for (int i = 0; i < kRounds; ++i) {
        unsigned short word = 0;
        USBReadFromEEPROM(kWord, &word);
        tally.wrongAnswers += word == expected ? 0 : 1;
    }
}

// The address commands of all stream transfers, in order.
Bytes AddressesSent(const std::vector<Bytes> &streams) {
    Bytes out;
    for (const Bytes &stream : streams) {
        for (std::size_t at = 0; at + 1 < stream.size(); at += zqlusb::CommandLength(stream[at])) {
            if (stream[at] == zqlusb::CMD_ADDRESS) {
                out.push_back(stream[at + 1]);
            }
        }
    }
    return out;
}

TEST_F(ThreadsTest, CallsFromSeveralThreadsArriveWholeAndNoneIsLost) {
    if (kEmulatedX86) {
        GTEST_SKIP() << kTwoThreadsNotApplicable;
    }
    Open();
    Device().plantedByte = kPlanted;
    Device().serialEeprom.words[kWord] = 0xC3A5;
    Bytes block(2 * kScopeCount * 2);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>(0x30 + 7 * i);
    }
    Device().blockData = block;
    std::array<Tally, 3> tallies{};
    go = false;
    {
        std::vector<std::thread> threads;
        for (int writer = 0; writer < kAddressWriters; ++writer) {
            threads.emplace_back(WriteAddresses, writer);
        }
        threads.emplace_back(ReadBytesAndBlocks, std::ref(tallies[0]), std::cref(block));
        threads.emplace_back(RetrieveRecords, std::ref(tallies[1]), std::cref(block));
        threads.emplace_back(ReadWords, std::ref(tallies[2]), static_cast<unsigned short>(0xC3A5));
        go = true;
        for (std::thread &t : threads) {
            t.join();
        }
    }
    USBFlushBuffer();
    for (const Tally &tally : tallies) {
        EXPECT_EQ(tally.wrongAnswers, 0);
    }
    // One stream transfer and one read per read call, and the final flush
    // when anything was still pending.
    constexpr std::size_t kReadCalls = 4 * kRounds;
    EXPECT_EQ(Device().TransfersOf(IOCTL_SCOPE_READ).size(), kReadCalls);
    EXPECT_GE(Streams().size(), kReadCalls);
    EXPECT_LE(Streams().size(), kReadCalls + 1);
    for (const vi::Transfer &t : Device().transfers) {
        EXPECT_TRUE(t.ok) << "every transfer succeeds on a healthy instrument";
    }
    // Each writer's addresses arrive all, once, in its own order.
    const Bytes sent = AddressesSent(Streams());
    ASSERT_EQ(sent.size(), static_cast<std::size_t>(kAddressWriters * kRounds));
    for (int writer = 0; writer < kAddressWriters; ++writer) {
        int next = 0;
        for (std::uint8_t address : sent) {
            if (address / kAddressesEach == writer) {
                EXPECT_EQ(address % kAddressesEach, next % kAddressesEach) << "writer " << writer;
                ++next;
            }
        }
        EXPECT_EQ(next, kRounds);
    }
}

// Data writes with the buffer's end-point markers and flushes between them:
// each writer's values come from its own half of 0-255.
constexpr int kEpbEvery = 16;
constexpr int kFlushEvery = 64;

void WriteDataMarkAndFlush(int writer) {
    AwaitStart();
    for (int i = 0; i < kRounds; ++i) {
        USBWriteData(static_cast<unsigned char>(writer * kAddressesEach + i % kAddressesEach));
        if (i % kEpbEvery == 0) {
            USBSetEPB();
        }
        if (i % kFlushEvery == 0) {
            USBFlushBuffer();
        }
    }
}

// What the streams carried: data operands in order and end-point markers;
// a stream that does not split into whole, known commands is counted.
struct StreamContents {
    Bytes data;
    int markers = 0;
    int broken = 0;
};

StreamContents Contents(const std::vector<Bytes> &streams) {
    static const std::uint8_t kKnown[] = {zqlusb::CMD_NOP,  zqlusb::CMD_ADDRESS, zqlusb::CMD_DATA,
                                          zqlusb::CMD_READ, zqlusb::CMD_EPB,     zqlusb::CMD_I2C_BUS,
                                          zqlusb::CMD_I2C_WRITE};
    StreamContents out;
    for (const Bytes &stream : streams) {
        std::size_t at = 0;
        while (at < stream.size()) {
            const std::uint8_t opcode = stream[at];
            if (std::find(std::begin(kKnown), std::end(kKnown), opcode) == std::end(kKnown)) {
                break;
            }
            if (opcode == zqlusb::CMD_DATA && at + 1 < stream.size()) {
                out.data.push_back(stream[at + 1]);
            }
            out.markers += opcode == zqlusb::CMD_EPB ? 1 : 0;
            at += zqlusb::CommandLength(opcode);
        }
        out.broken += at == stream.size() ? 0 : 1;
    }
    return out;
}

TEST_F(ThreadsTest, DataWritesMarkersAndFlushesFromTwoThreadsArriveWholeBesideAReader) {
    if (kEmulatedX86) {
        GTEST_SKIP() << kTwoThreadsNotApplicable;
    }
    Open();
    Device().plantedByte = kPlanted;
    Bytes block(64, 0x3C);
    Device().blockData = block;
    Tally reader;
    go = false;
    {
        std::vector<std::thread> threads;
        for (int writer = 0; writer < kAddressWriters; ++writer) {
            threads.emplace_back(WriteDataMarkAndFlush, writer);
        }
        threads.emplace_back(ReadBytesAndBlocks, std::ref(reader), std::cref(block));
        go = true;
        for (std::thread &t : threads) {
            t.join();
        }
    }
    USBFlushBuffer();
    EXPECT_EQ(reader.wrongAnswers, 0);
    const StreamContents sent = Contents(Streams());
    EXPECT_EQ(sent.broken, 0) << "streams that do not split into whole commands";
    EXPECT_EQ(sent.markers, kAddressWriters * ((kRounds + kEpbEvery - 1) / kEpbEvery));
    ASSERT_EQ(sent.data.size(), static_cast<std::size_t>(kAddressWriters * kRounds));
    for (int writer = 0; writer < kAddressWriters; ++writer) {
        int next = 0, misplaced = 0;
        for (std::uint8_t value : sent.data) {
            if (value / kAddressesEach == writer) {
                misplaced += value % kAddressesEach == next % kAddressesEach ? 0 : 1;
                ++next;
            }
        }
        EXPECT_EQ(misplaced, 0) << "values of writer " << writer << " out of its order";
        EXPECT_EQ(next, kRounds) << "writer " << writer;
    }
}

} // namespace
} // namespace testbed
