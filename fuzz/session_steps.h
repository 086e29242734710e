// A fuzz session's state and its steps: the library's calls with their
// checks against the stream oracle (link_calls.cpp, acquisition_calls.cpp),
// the hostile device's steps (hostile_device.cpp), and the argument makers,
// checks and step choice they share (session.cpp).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/session.h"
#include "fuzz/stream_oracle.h"
#include "virtual_instrument/instrument.h"
#include "zqlusb.h"

namespace fuzz {

constexpr int kMaxBurst = 9000;      // data writes in one burst: past a full buffer
constexpr int kMaxSmallLength = 300; // the usual block length
constexpr int kBlockMax = ZQLUSB_BLOCK_MAX;
constexpr int kRecordPoints = ZQLUSB_CHANNEL_POINTS;
constexpr int kLongestFpga = 4096; // bit stream bytes: 98,304 port images

inline int High(unsigned value) {
    return static_cast<int>(value >> 8 & 0xFF);
}
inline int Low(unsigned value) {
    return static_cast<int>(value & 0xFF);
}

struct Session {
    FuzzedDataProvider &in;
    vi::Instrument &device;
    StreamOracle oracle{device};

    // Arguments (session.cpp).
    int Length();
    bool Allocatable(int length);
    int SendLength(int largest);
    void CountBad(bool bad);
    std::vector<std::uint8_t> Block(int length);
    std::unique_ptr<std::uint8_t[]> Exact(int length, bool *null);
    bool Refused(int length, bool null, int limit);

    // Calls of the link, I2C, buffer and EEPROM exports (link_calls.cpp).
    void Behaviour();
    void Ready();
    void Init();
    void Version();
    void Short(unsigned char opcode);
    void Burst();
    void Epb();
    void ReadByte();
    unsigned Code(unsigned address);
    void ReadI2C();
    void WriteI2C();
    void WriteBuffer();
    void LoadFpga();
    void SerialRead();
    void ReadBlock();

    // Calls of the acquisition exports (acquisition_calls.cpp).
    std::unique_ptr<OutPutData> Record();
    bool NullRecord();
    void Receive(std::uint32_t length);
    void Scope();
    void Roll();
    void PreTrigger();

    // A step of the hostile device (hostile_device.cpp).
    void Hostile();

    // Checks and the step choice (session.cpp).
    void Expect(bool holds, const char *what);
    void Same(const OutPutData &got, const OutPutData &want, const char *what);
    void Step();
};

} // namespace fuzz
