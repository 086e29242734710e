// A fuzz session's calls of the link, I2C, buffer and EEPROM exports, each
// checked against the command stream the oracle expects.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/session_steps.h"
#include "tests/reference/bit_stream.h"

namespace fuzz {

void Session::Behaviour() {
    const int behaviour = in.ConsumeIntegral<int>();
    SetDLLBehaviour(behaviour);
    if (behaviour & 1) {
        oracle.SetDialogMode();
    }
}

void Session::Ready() {
    const int result = DeviceReady();
    if (result != (oracle.Ready() ? 1 : 0)) {
        Finding("DeviceReady disagrees with the ready request");
    }
}

void Session::Init() {
    const int result = USBInitDevice();
    if ((result == 0) != (device.openHandles.size() == 1) || (result != 0 && result != ZQLUSB_INIT_FAILED)) {
        Finding("USBInitDevice result " + std::to_string(result));
    }
}

void Session::Version() {
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

void Session::Short(unsigned char opcode) {
    const auto operand = in.ConsumeIntegral<unsigned char>();
    if (opcode == 0x01) {
        USBWriteAddress(operand);
    } else {
        USBWriteData(operand);
    }
    oracle.AppendChecked({opcode, operand});
}

void Session::Burst() {
    const int count = in.ConsumeIntegralInRange(1, kMaxBurst);
    const auto operand = in.ConsumeIntegral<unsigned char>();
    for (int i = 0; i < count; ++i) {
        USBWriteData(operand);
        oracle.AppendChecked({0x02, operand});
    }
}

void Session::Epb() {
    USBSetEPB();
    oracle.AppendChecked({0x05, kAny});
}

void Session::ReadByte() {
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

unsigned Session::Code(unsigned address) {
    const bool right = in.ConsumeBool();
    CountBad(!right);
    return right ? ZqlusbI2CConfirmationCode(address) : in.ConsumeIntegral<unsigned>();
}

void Session::ReadI2C() {
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

void Session::WriteI2C() {
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

void Session::WriteBuffer() {
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

void Session::LoadFpga() {
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

void Session::SerialRead() {
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

void Session::ReadBlock() {
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

} // namespace fuzz
