// USBRetrieveRollModeData, and each of the decode's two paths called by name,
// on arbitrary roll-mode blocks: every byte of the record after the call,
// against the reference model's decoding.
// The blocks come from a fixed seed: whole packets of data records, invalid
// and end tags at every record of several packets, any packet-start bytes,
// and every delivered length from 0 to 4,096, records cut by it included.
#include <algorithm>
#include <cstdio>

#include "acquisition/record.h"
#include "acquisition/roll_decode.h"
#include "tests/reference/roll_block.h"

namespace testbed {
namespace {

using RollDecodeTest = DeviceTest;

using reference::TagOffset;
constexpr std::uint32_t kBlockSize = reference::kRollBlockSize;
constexpr std::uint32_t kPacket = reference::kPacketSize;
constexpr std::uint32_t kRecords = reference::kRecordsPerPacket;

// A fixed xorshift sequence, the same on every platform.
class Random {
  public:
    explicit Random(std::uint32_t seed) : state_(seed) {}
    std::uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    std::uint8_t Byte() { return static_cast<std::uint8_t>(Next() >> 24); }
    // 0 to n - 1.
    std::uint32_t Below(std::uint32_t n) { return Next() % n; }

  private:
    std::uint32_t state_;
};

std::uint8_t DataTag(Random &random) {
    return static_cast<std::uint8_t>(0x80 | (random.Byte() & 0x3F));
}
std::uint8_t EndTag(Random &random) {
    return static_cast<std::uint8_t>(random.Byte() & 0x3F);
}
// Bit 6 set, bit 7 either way.
std::uint8_t InvalidTag(Random &random) {
    return static_cast<std::uint8_t>(0x40 | (random.Byte() & 0xBF));
}

// A block of random bytes whose tags are all data tags; packet-start bytes
// and samples are arbitrary.
Bytes DataBlock(Random &random) {
    Bytes block(kBlockSize);
    for (std::uint8_t &b : block) {
        b = random.Byte();
    }
    for (std::uint32_t p = 0; p < kBlockSize / kPacket; ++p) {
        for (std::uint32_t k = 0; k < kRecords; ++k) {
            block[TagOffset(p, k)] = DataTag(random);
        }
    }
    return block;
}

// How a block is decoded: by a retrieval through the library, which takes
// the path its processor allows, or by one of the two paths called by name.
enum class Via { Retrieval, Portable, Shuffle };
const char *Name(Via via) {
    return via == Via::Retrieval ? "retrieval" : via == Via::Portable ? "portable path" : "shuffle path";
}

// The ways this processor has; the shuffle path needs x86 with SSSE3.
std::vector<Via> Ways() {
    std::vector<Via> ways = {Via::Retrieval, Via::Portable};
    if (zqlusb::HasRollDecodePath(zqlusb::RollDecodePath::Shuffle)) {
        ways.push_back(Via::Shuffle);
    } else {
        std::printf("the shuffle path of the roll decode is not available here\n");
    }
    return ways;
}

// Decodes `block` with `delivered` bytes reported, into a record filled with
// `marker`, against the reference model. False, with both records
// printed, when they differ.
bool DecodesAsTheReference(Via via, const Bytes &block, std::uint32_t delivered, std::uint8_t marker) {
    Record record(marker);
    const Bytes before = record.All();
    if (via == Via::Retrieval) {
        vi::Device().transfers.clear();
        vi::Device().scriptedReads.push_back({true, block, delivered});
        USBRetrieveRollModeData(record.data.get());
    } else {
        const auto path = via == Via::Portable ? zqlusb::RollDecodePath::Portable : zqlusb::RollDecodePath::Shuffle;
        zqlusb::DecodeRollBlock(path, block.data(), delivered, *record.data);
    }
    const Bytes expected =
        Changed(before, [&](OutPutData &r) { reference::RetrieveRollBlock(block.data(), delivered, r); });
    const Bytes actual = record.All();
    if (actual == expected) {
        return true;
    }
    ADD_FAILURE() << Name(via) << ": " << delivered << " bytes delivered, record filled with " << int{marker} << "\n"
                  << SameBytes("the record", "the reference model's", actual, expected).message();
    return false;
}

TEST_F(RollDecodeTest, DataPacketsAtEveryDeliveredLength) {
    Open();
    for (Via via : Ways()) {
        Random random(0x5EED0001u);
        for (std::uint32_t delivered = 0; delivered <= kBlockSize; ++delivered) {
            const Bytes block = DataBlock(random);
            ASSERT_TRUE(DecodesAsTheReference(via, block, delivered, random.Byte())) << "all data tags";
        }
    }
}

// Invalid and end tags at every record of several packets, decoded by `via`.
void InvalidAndEndTags(Via via) {
    Random random(0x5EED0002u);
    const std::uint32_t packets[] = {0, 1, 2, 17, 31, 62, 63};
    for (std::uint32_t p : packets) {
        for (std::uint32_t k = 0; k < kRecords; ++k) {
            for (int closing = 0; closing < 2; ++closing) {
                Bytes block = DataBlock(random);
                block[TagOffset(p, k)] = closing == 0 ? InvalidTag(random) : EndTag(random);
                // The whole block, and deliveries that end at, inside and
                // just behind the closing record, and one packet later (all
                // within 0 to 4,096).
                const std::int64_t tag = TagOffset(p, k);
                const std::int64_t deliveries[] = {kBlockSize,
                                                   tag,
                                                   tag + 1,
                                                   tag + 2,
                                                   tag + 3,
                                                   tag - 1,
                                                   tag - 2,
                                                   (p + 1) * std::int64_t{kPacket},
                                                   (p + 2) * std::int64_t{kPacket} + 1 + random.Below(63)};
                for (std::int64_t length : deliveries) {
                    const auto delivered = static_cast<std::uint32_t>(std::clamp<std::int64_t>(length, 0, kBlockSize));
                    ASSERT_TRUE(DecodesAsTheReference(via, block, delivered, random.Byte()))
                        << (closing == 0 ? "invalid" : "end") << " tag at record " << k << " of packet " << p;
                }
            }
        }
    }
}

TEST_F(RollDecodeTest, InvalidAndEndTagsAtEveryRecordOfSeveralPackets) {
    Open();
    for (Via via : Ways()) {
        InvalidAndEndTags(via);
    }
}

// Blocks with closing tags or arbitrary packets anywhere, decoded by `via`.
void RandomBlocks(Via via) {
    Random random(0x5EED0003u);
    for (int n = 0; n < 2000; ++n) {
        Bytes block = DataBlock(random);
        // Now and then a tag that ends the data, anywhere; sometimes
        // arbitrary bytes in a whole packet; sometimes none at all.
        const std::uint32_t closers = random.Below(4);
        for (std::uint32_t c = 0; c < closers; ++c) {
            const std::uint32_t p = random.Below(kBlockSize / kPacket);
            if (random.Below(8) == 0) {
                for (std::uint32_t at = p * kPacket; at < (p + 1) * kPacket; ++at) {
                    block[at] = random.Byte();
                }
            } else {
                block[TagOffset(p, random.Below(kRecords))] =
                    random.Below(2) == 0 ? InvalidTag(random) : EndTag(random);
            }
        }
        const std::uint32_t delivered = random.Below(4) == 0 ? kBlockSize : random.Below(kBlockSize + 1);
        ASSERT_TRUE(DecodesAsTheReference(via, block, delivered, random.Byte())) << "random block " << n;
    }
}

TEST_F(RollDecodeTest, RandomBlocks) {
    Open();
    for (Via via : Ways()) {
        RandomBlocks(via);
    }
}

} // namespace
} // namespace testbed
