// One fuzz input as a session: the argument makers (lengths mostly small,
// sometimes at an edge, sometimes anything), the checks, the choice of each
// step, and the session's run on a fresh instrument.
#include "fuzz/session.h"

#include <cstdint>
#include <string>

#include "fuzz/session_steps.h"

namespace fuzz {

Totals totals;

namespace {

constexpr int kMaxSteps = 48; // calls and device steps per session
constexpr std::size_t kBlockPattern = 512;

} // namespace

// A length: mostly small, sometimes at an edge, sometimes anything.
int Session::Length() {
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        return in.ConsumeIntegralInRange(0, kMaxSmallLength);
    case 1:
        return in.PickValueInArray(
            {0, 1, 63, 64, 65, 4096, 65536, kBlockMax, kBlockMax + 1, -1, -64, INT32_MIN, INT32_MAX});
    default:
        return in.ConsumeIntegral<int>();
    }
}

bool Session::Allocatable(int length) {
    return length >= 0 && length <= kBlockMax;
}

// A length for a call that reads the caller's block: never more than the
// test can allocate, since the call cannot know the block's size.
int Session::SendLength(int largest) {
    const int length = Length();
    if (length > kBlockMax) {
        return -length;
    }
    return length > largest ? length % (largest + 1) : length;
}

void Session::CountBad(bool bad) {
    totals.badInputs += bad ? 1 : 0;
}

// A caller's block of exactly `length` bytes (a small one for a length
// outside the interface), or none.
std::vector<std::uint8_t> Session::Block(int length) {
    return std::vector<std::uint8_t>(Allocatable(length) ? static_cast<std::size_t>(length) : 1);
}

std::unique_ptr<std::uint8_t[]> Session::Exact(int length, bool *null) {
    *null = in.ConsumeIntegralInRange(0, 7) == 0;
    if (*null) {
        return nullptr;
    }
    const std::size_t size = Allocatable(length) ? static_cast<std::size_t>(length) : 1;
    auto block = std::make_unique<std::uint8_t[]>(size > 0 ? size : 1);
    for (std::size_t i = 0; i < size && i < 64; ++i) {
        block[i] = in.ConsumeIntegral<std::uint8_t>();
    }
    return block;
}

bool Session::Refused(int length, bool null, int limit) {
    const bool refused = length < 0 || length > limit || (null && length > 0);
    CountBad(refused);
    return refused;
}

void Session::Expect(bool holds, const char *what) {
    if (!holds) {
        Finding(what);
    }
}

void Session::Same(const OutPutData &got, const OutPutData &want, const char *what) {
    const auto *a = reinterpret_cast<const std::uint8_t *>(&got);
    const auto *b = reinterpret_cast<const std::uint8_t *>(&want);
    for (std::size_t i = 0; i < sizeof got; ++i) {
        if (a[i] != b[i]) {
            Finding(std::string(what) + ": byte " + std::to_string(i));
        }
    }
}

void Session::Step() {
    ++totals.calls;
    switch (in.ConsumeIntegralInRange(0, 19)) {
    case 0:
        return Behaviour();
    case 1:
        return Ready();
    case 2:
        return Init();
    case 3:
        return Version();
    case 4:
        USBFlushBuffer();
        return oracle.Flush();
    case 5:
        return Epb();
    case 6:
        return Short(0x01);
    case 7:
        return Short(0x02);
    case 8:
        return Burst();
    case 9:
        return ReadByte();
    case 10:
        return ReadI2C();
    case 11:
        return WriteI2C();
    case 12:
        return WriteBuffer();
    case 13:
        return LoadFpga();
    case 14:
        return SerialRead();
    case 15:
        return ReadBlock();
    case 16:
        return Scope();
    case 17:
        return Roll();
    case 18:
        return PreTrigger();
    default:
        --totals.calls;
        return Hostile();
    }
}

void RunSession(FuzzedDataProvider &input) {
    ++totals.sessions;
    vi::ResetDevice();
    // Block reads answer from a short pattern (then zeros) rather than from the
    // signal model, which costs more than the library's part of the session.
    vi::Device().blockData.resize(kBlockPattern);
    for (std::size_t i = 0; i < kBlockPattern; ++i) {
        vi::Device().blockData[i] = static_cast<std::uint8_t>(i * 37 + 11);
    }
    Session session{input, vi::Device()};
    if (input.ConsumeBool()) {
        session.Init();
    }
    for (int step = 0; step < kMaxSteps && input.remaining_bytes() > 0; ++step) {
        session.Step();
        session.oracle.Settle();
    }
    // Whatever is still pending reaches the instrument with a last flush.
    USBFlushBuffer();
    session.oracle.Flush();
    session.oracle.Settle();
}

} // namespace fuzz
