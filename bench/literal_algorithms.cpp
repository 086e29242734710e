// The straightforward loops, kept here unchanged whatever the library does.
#include "bench/literal_algorithms.h"

#include "link/command_stream.h"

namespace bench {

void LiteralAppend(std::uint8_t opcode, std::uint8_t operand) {
    zqlusb::Buffer[zqlusb::BufferLength] = opcode;
    zqlusb::Buffer[zqlusb::BufferLength + 1] = operand;
    zqlusb::BufferLength += 2;
    if (zqlusb::BufferLength >= zqlusb::kBufferSize) {
        USBFlushBuffer();
    }
}

void LiteralRecordCopy(const std::uint8_t *received, OutPutData &record, std::int32_t offset, std::int32_t count,
                       std::int32_t step) {
    std::int32_t r = 0;
    for (std::int32_t i = offset; i < offset + count; i += step) {
        record.TempBufferA[i] = received[r];
        record.TempBufferB[i] = received[r + 1];
        r += 2;
    }
}

void LiteralPreTriggerCopy(const std::uint8_t *received, OutPutData &record) {
    std::int32_t r = 1536;
    for (std::int32_t j = 0; j < 32000; ++j) {
        record.TempBufferA[j] = received[r];
        record.TempBufferB[j] = received[r + 1];
        r += 2;
    }
}

void LiteralRollDecode(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record) {
    std::int32_t DataCount = 2;
    std::uint8_t InvalidData = 0;
    std::uint32_t r = 0;
    while (r < delivered) {
        const std::uint8_t DataFromScope = block[r];
        r += 1;
        if ((r - 1) % 64 == 0) {
            continue;
        }
        if (DataFromScope & 0x40) {
            InvalidData = 1;
            break;
        }
        if (!(DataFromScope & 0x80)) {
            break;
        }
        record.TempBufferA[DataCount] = block[r];
        record.TempBufferB[DataCount] = block[r + 1];
        r += 2;
        DataCount += 1;
    }
    const std::int32_t n = DataCount - 2;
    record.TempBufferA[0] = static_cast<std::uint8_t>(n & 0xFF);
    record.TempBufferA[1] = static_cast<std::uint8_t>((n >> 8) & 0xFF);
    record.TempBufferB[0] = InvalidData;
}

void LiteralExpand(const unsigned char *data, std::size_t length, std::uint8_t *out) {
    std::uint8_t BitPointer = 0x80;
    std::size_t Index = 0;
    std::size_t BufIndex = 0;
    while (Index < length) {
        const bool one = (data[Index] & BitPointer) != 0;
        out[BufIndex] = one ? 0xF4 : 0xE4;
        out[BufIndex + 1] = one ? 0xD4 : 0xC4;
        out[BufIndex + 2] = one ? 0xF4 : 0xE4;
        BufIndex += 3;
        BitPointer = static_cast<std::uint8_t>(BitPointer >> 1);
        if (BitPointer == 0) {
            BitPointer = 0x80;
            Index += 1;
        }
    }
}

} // namespace bench
