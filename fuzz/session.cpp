#include "fuzz/session.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/roll_decode.h"
#include "fuzz/stream_oracle.h"
#include "tests/reference/bit_stream.h"
#include "tests/reference/placement.h"
#include "tests/reference/roll_block.h"
#include "virtual_instrument/instrument.h"
#include "zqlusb.h"

// The library's decode of a roll-mode block by a path of its choosing
// (src/acquisition/roll_decode.cpp, fuzz builds only): 1 when it has the path.
extern "C" int ZqlusbFuzzDecodeRollBlock(int path, const std::uint8_t *block, std::uint32_t delivered,
                                         OutPutData *record);

namespace fuzz {

Totals totals;

namespace {

constexpr int kMaxSteps = 48;        // calls and device steps per session
constexpr int kMaxBurst = 9000;      // data writes in one burst: past a full buffer
constexpr int kMaxSmallLength = 300; // the usual block length
constexpr int kBlockMax = ZQLUSB_BLOCK_MAX;
constexpr int kRecordPoints = ZQLUSB_CHANNEL_POINTS;
constexpr std::size_t kBlockPattern = 512;
constexpr int kLongestFpga = 4096; // bit stream bytes: 98,304 port images

int High(unsigned value) {
    return static_cast<int>(value >> 8 & 0xFF);
}
int Low(unsigned value) {
    return static_cast<int>(value & 0xFF);
}

struct Session {
    FuzzedDataProvider &in;
    vi::Instrument &device;
    StreamOracle oracle{device};

    // --- Arguments -----------------------------------------------------------
    // A length: mostly small, sometimes at an edge, sometimes anything.
    int Length() {
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
    bool Allocatable(int length) { return length >= 0 && length <= kBlockMax; }
    // A length for a call that reads the caller's block: never more than the
    // test can allocate, since the call cannot know the block's size.
    int SendLength(int largest) {
        const int length = Length();
        if (length > kBlockMax) {
            return -length;
        }
        return length > largest ? length % (largest + 1) : length;
    }
    void CountBad(bool bad) { totals.badInputs += bad ? 1 : 0; }

    // --- Calls ---------------------------------------------------------------
    void Behaviour() {
        const int behaviour = in.ConsumeIntegral<int>();
        SetDLLBehaviour(behaviour);
        if (behaviour & 1) {
            oracle.SetDialogMode();
        }
    }
    void Ready() {
        const int result = DeviceReady();
        if (result != (oracle.Ready() ? 1 : 0)) {
            Finding("DeviceReady disagrees with the ready request");
        }
    }
    void Init() {
        const int result = USBInitDevice();
        if ((result == 0) != (device.openHandles.size() == 1) || (result != 0 && result != ZQLUSB_INIT_FAILED)) {
            Finding("USBInitDevice result " + std::to_string(result));
        }
    }
    void Version() {
        if (in.ConsumeBool()) {
            CountBad(true);
            GetDriverVersion(nullptr);
            return;
        }
        auto version = std::make_unique<DriverVersion>();
        GetDriverVersion(version.get());
        if (version->MajorVersion != 1 || version->MinorVersion != 3) {
            Finding("driver version");
        }
    }
    void Short(unsigned char opcode) {
        const auto operand = in.ConsumeIntegral<unsigned char>();
        if (opcode == 0x01) {
            USBWriteAddress(operand);
        } else {
            USBWriteData(operand);
        }
        oracle.AppendChecked({opcode, operand});
    }
    void Burst() {
        const int count = in.ConsumeIntegralInRange(1, kMaxBurst);
        const auto operand = in.ConsumeIntegral<unsigned char>();
        for (int i = 0; i < count; ++i) {
            USBWriteData(operand);
            oracle.AppendChecked({0x02, operand});
        }
    }
    void Epb() {
        USBSetEPB();
        oracle.AppendChecked({0x05, kAny});
    }
    void ReadByte() {
        const int result = USBReadData();
        int expected = 0;
        if (oracle.ReadRequest({0x03, 0x04, kAny, kAny})) {
            const Bytes got = oracle.Read(1);
            expected = got.empty() ? 0 : got[0];
        }
        if (result != expected) {
            Finding("USBReadData returned " + std::to_string(result));
        }
    }
    unsigned Code(unsigned address) {
        const bool right = in.ConsumeBool();
        CountBad(!right);
        return right ? ZqlusbI2CConfirmationCode(address) : in.ConsumeIntegral<unsigned>();
    }
    void ReadI2C() {
        const auto address = in.ConsumeIntegral<unsigned>();
        const unsigned code = Code(address);
        const int result = USBReadI2CEEPROM(address, code);
        if (code != ZqlusbI2CConfirmationCode(address)) {
            return Expect(result == ZQLUSB_I2C_READ_REFUSED, "I2C read not refused");
        }
        oracle.Append({0x0C, 0x13});
        int expected = 0;
        if (oracle.ReadRequest({0x03, 0x0D, High(address), Low(address)})) {
            const Bytes got = oracle.Read(1);
            expected = got.empty() ? 0 : got[0];
        }
        oracle.Append({0x0C, 0x00});
        oracle.Flush();
        Expect(result == expected, "I2C read result");
    }
    void WriteI2C() {
        const auto address = in.ConsumeIntegral<unsigned>();
        const auto data = in.ConsumeIntegral<unsigned>();
        const unsigned code = Code(address);
        const int result = USBWriteI2CEEPROM(address, data, code);
        if (code != ZqlusbI2CConfirmationCode(address)) {
            return Expect(result == ZQLUSB_I2C_WRITE_REFUSED, "I2C write not refused");
        }
        oracle.Flush();
        oracle.Append({0x0C, 0x13, 0x0E, High(address), Low(address), Low(data), 0x0C, 0x00});
        oracle.Flush();
        Expect(result == 0, "I2C write result");
    }
    // A caller's block of exactly `length` bytes (a small one for a length
    // outside the interface), or none.
    std::vector<std::uint8_t> Block(int length) {
        return std::vector<std::uint8_t>(Allocatable(length) ? static_cast<std::size_t>(length) : 1);
    }
    std::unique_ptr<std::uint8_t[]> Exact(int length, bool *null) {
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
    bool Refused(int length, bool null, int limit) {
        const bool refused = length < 0 || length > limit || (null && length > 0);
        CountBad(refused);
        return refused;
    }
    void WriteBuffer() {
        const int length = SendLength(kBlockMax);
        bool null = false;
        auto data = Exact(length, &null);
        const int result = USBWriteBuffer(data.get(), length);
        Expect(result == 0, "USBWriteBuffer result");
        if (Refused(length, null, kBlockMax)) {
            return;
        }
        oracle.Flush();
        oracle.WriteRaw(length > 0 ? Bytes(data.get(), data.get() + length) : Bytes{});
    }
    void LoadFpga() {
        const int length = in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 64) : SendLength(kLongestFpga);
        bool null = false;
        auto data = Exact(length, &null);
        USBLoadFPGA(data.get(), length);
        if (Refused(length, null, kBlockMax)) {
            return;
        }
        oracle.Flush();
        Bytes images(static_cast<std::size_t>(length) * reference::kImagesPerByte);
        reference::ExpandBitStream(data.get(), static_cast<std::size_t>(length), images.data());
        oracle.WriteRaw(images);
    }
    void SerialRead() {
        const auto address = in.ConsumeIntegral<unsigned short>();
        if (in.ConsumeIntegralInRange(0, 7) == 0) {
            CountBad(true);
            USBReadFromEEPROM(address, nullptr);
            return;
        }
        auto word = std::make_unique<unsigned short>(in.ConsumeIntegral<unsigned short>());
        std::uint8_t before[2];
        std::memcpy(before, word.get(), 2);
        USBReadFromEEPROM(address, word.get());
        oracle.AppendChecked({0x02, 0x2A});
        for (int bit : {1, 1, 0, (address >> 5) & 1, (address >> 4) & 1, (address >> 3) & 1, (address >> 2) & 1,
                        (address >> 1) & 1, address & 1}) {
            oracle.AppendChecked({0x02, 0x0E | bit});
            oracle.AppendChecked({0x02, 0x2E | bit});
        }
        oracle.AppendChecked({0x02, 0x0E});
        oracle.ReadRequest({0x03, 0x08, kAny, kAny});
        const Bytes got = oracle.Read(2); // made whatever the link's state
        for (std::size_t i = 0; i < got.size(); ++i) {
            before[i] = got[i];
        }
        Expect(*word == (before[0] << 8 | before[1]), "serial EEPROM word");
        oracle.AppendChecked({0x02, 0x0A});
    }
    void ReadBlock() {
        const int length = Length();
        bool null = false;
        const bool inside = Allocatable(length);
        const int rounded = inside ? (length + 63) / 64 * 64 : 0;
        auto data = Exact(rounded, &null);
        if (inside && !null) {
            std::memset(data.get(), 0xEE, rounded > 0 ? static_cast<std::size_t>(rounded) : 1);
        }
        USBReadDataBlock(data.get(), length);
        if (Refused(length, null, kBlockMax)) {
            return;
        }
        const int count = rounded / 64 - 1;
        if (!oracle.ReadRequest({0x03, 0x09, (count >> 8) & 0xFF, count & 0xFF})) {
            return Expect(rounded == 0 || data[0] == 0xEE, "block written while the link had failed");
        }
        const Bytes got = oracle.Read(static_cast<std::uint32_t>(rounded));
        for (int i = 0; i < rounded; ++i) {
            const std::uint8_t want = static_cast<std::size_t>(i) < got.size() ? got[i] : 0xEE;
            if (data[i] != want) {
                Finding("block byte " + std::to_string(i));
            }
        }
    }

    // --- Acquisition ---------------------------------------------------------
    std::unique_ptr<OutPutData> Record() {
        auto record = std::make_unique<OutPutData>();
        std::memset(record.get(), in.ConsumeIntegral<std::uint8_t>(), sizeof *record);
        for (int i = 0; i < 6; ++i) {
            record->TempBufferA[i] = in.ConsumeIntegral<std::uint8_t>();
        }
        return record;
    }
    bool NullRecord() {
        const bool null = in.ConsumeIntegralInRange(0, 15) == 0;
        CountBad(null);
        return null;
    }
    void Receive(std::uint32_t length) {
        const Bytes got = oracle.Read(length);
        std::copy(got.begin(), got.end(), oracle.receive);
    }
    void Scope() {
        if (NullRecord()) {
            return (void)USBRetrieveScopeData(nullptr);
        }
        auto record = Record();
        OutPutData expected = *record;
        USBRetrieveScopeData(record.get());
        const unsigned char *h = expected.TempBufferA;
        const int count = h[0] | h[1] << 8, offset = h[2] | h[3] << 8, step = h[4] | h[5] << 8;
        if ((count > 0 && step == 0) || offset + count > kRecordPoints) {
            CountBad(true);
            return Same(*record, expected, "refused scope request");
        }
        const reference::ScopeSpan span = {static_cast<std::uint16_t>(count), static_cast<std::uint16_t>(offset),
                                           static_cast<std::uint16_t>(step)};
        const int packets = reference::ScopeRequestPackets(span.count);
        if (oracle.ReadRequest({0x03, 0x09, (packets >> 8) & 0xFF, packets & 0xFF})) {
            Receive(static_cast<std::uint32_t>(reference::ScopeRequestBytes(span.count)));
        }
        reference::PlaceScopeSpan(oracle.receive, span, expected);
        Same(*record, expected, "scope record");
    }
    void Roll() {
        if (NullRecord()) {
            return (void)USBRetrieveRollModeData(nullptr);
        }
        auto record = Record();
        OutPutData expected = *record;
        const auto before = std::make_unique<OutPutData>(*record);
        USBRetrieveRollModeData(record.get());
        // A failed read counts as nothing delivered; a count beyond the block
        // as the whole block.
        std::uint32_t usable = 0;
        if (oracle.ReadRequest({0x03, 0x0A, 0x00, 0x3F})) {
            bool ok = false;
            std::uint32_t reported = 0;
            const Bytes got = oracle.Read(reference::kRollBlockSize, &ok, &reported);
            std::copy(got.begin(), got.end(), oracle.receive);
            usable = ok ? std::min(reported, reference::kRollBlockSize) : 0;
        }
        reference::RetrieveRollBlock(oracle.receive, usable, expected);
        Same(*record, expected, "roll-mode record");
        // The same reply through each decode path by name, whichever the call took.
        for (zqlusb::RollDecodePath path : {zqlusb::RollDecodePath::Portable, zqlusb::RollDecodePath::Shuffle}) {
            auto decoded = std::make_unique<OutPutData>(*before);
            if (ZqlusbFuzzDecodeRollBlock(static_cast<int>(path), oracle.receive, usable, decoded.get()) != 0) {
                Same(*decoded, expected,
                     path == zqlusb::RollDecodePath::Portable ? "roll decode, portable path" : "roll decode, shuffle path");
            }
        }
    }
    void PreTrigger() {
        if (NullRecord()) {
            return (void)USBRetrievePreTriggerData(nullptr);
        }
        auto record = Record();
        OutPutData expected = *record;
        USBRetrievePreTriggerData(record.get());
        if (oracle.ReadRequest({0x03, 0x0B, 0x03, 0xFF})) {
            Receive(reference::kPreTriggerReplySize);
        }
        reference::PlacePreTrigger(oracle.receive, expected);
        Same(*record, expected, "pre-trigger record");
    }

    // --- The hostile device --------------------------------------------------
    void Hostile() {
        ++totals.faults;
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
            device.faults.failWrites = in.ConsumeIntegralInRange(0, 4);
            break;
        case 1:
            device.faults.failReads = in.ConsumeIntegralInRange(0, 2);
            device.faults.failedReadCount = in.ConsumeIntegral<std::uint32_t>();
            break;
        case 2: {
            vi::ScriptedRead script;
            script.ok = in.ConsumeBool();
            script.reported =
                in.ConsumeBool() ? in.ConsumeIntegral<std::uint32_t>() : in.ConsumeIntegralInRange(0u, 4200u);
            const auto size = in.ConsumeIntegralInRange<std::size_t>(0, 4200);
            script.bytes = in.ConsumeBytes<std::uint8_t>(size);
            if (in.ConsumeBool()) { // a full roll-mode block of one repeated tag pattern
                script.bytes.resize(reference::kRollBlockSize, script.bytes.empty() ? 0x80 : script.bytes.back());
            }
            device.scriptedReads.push_back(std::move(script));
            break;
        }
        case 3:
            device.Detach();
            break;
        case 4:
            device.Attach();
            break;
        case 5: {
            const int answer = in.PickValueInArray({4, 2, 1, 0, 3});
            device.dialogAnswers.push_back(answer);
            oracle.ScriptAnswer(answer);
            break;
        }
        case 6:
            device.faults.failReady = in.ConsumeIntegralInRange(0, 2);
            device.faults.failOpens = in.ConsumeIntegralInRange(0, 2);
            switch (in.ConsumeIntegralInRange(0, 2)) { // SetupAPI's part of the next open
            case 1: device.faults.failInfoSets = 1; break;
            case 2: device.faults.failDetails = 1; break;
            default: break;
            }
            break;
        default:
            device.faults.overstateCount = in.ConsumeIntegral<std::uint32_t>();
            if (in.ConsumeBool()) {
                device.faults.deliverAtMost = in.ConsumeIntegral<std::uint32_t>() % 70000;
            }
            break;
        }
    }

    void Expect(bool holds, const char *what) {
        if (!holds) {
            Finding(what);
        }
    }
    void Same(const OutPutData &got, const OutPutData &want, const char *what) {
        const auto *a = reinterpret_cast<const std::uint8_t *>(&got);
        const auto *b = reinterpret_cast<const std::uint8_t *>(&want);
        for (std::size_t i = 0; i < sizeof got; ++i) {
            if (a[i] != b[i]) {
                Finding(std::string(what) + ": byte " + std::to_string(i));
            }
        }
    }

    void Step() {
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
};

} // namespace

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
