// Decoding the tagged records of a roll-mode block.
#include "acquisition/roll_decode.h"

#include <cstring>

#include "acquisition/point_copy.h"
#include "link/commands.h"

// On x86 processors with SSSE3 (asked of the processor at the first decode,
// not at load), whole packets of data records are decoded with byte shuffles
// of 16-byte vectors; elsewhere by the portable path. Both are built on x86,
// so that the tests run each of them by name.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define ZQLUSB_ROLL_SHUFFLE 1
#include <cpuid.h>
#include <tmmintrin.h>
#endif

namespace zqlusb {

namespace {

// Tag bits, tested in this order: bit 6 marks invalid data, then a clear
// bit 7 ends the data.
constexpr std::uint8_t kTagInvalid = 0x40;
constexpr std::uint8_t kTagData = 0x80;

// The first point goes to index 2, behind the count.
constexpr std::int32_t kFirstPointIndex = 2;

// Behind its first byte, a packet holds 21 records of 3 bytes: tag, channel
// A, channel B.
constexpr std::uint32_t kRecordsPerPacket = 21;
constexpr std::uint32_t kRecordSize = 3;
// The packets of the largest block; the fast path looks at no more.
constexpr std::uint32_t kBlockPackets = 64;
static_assert(kBlockPackets * kRecordsPerPacket == ZQLUSB_ROLL_MAX_POINTS, "the header's roll-mode maximum");
constexpr std::uint32_t kPointSize = 2;

// Per byte of a packet: the tag bits that tell a data tag (0xC0 at the tag
// positions 1, 4, ..., 61, 0 elsewhere), and their value in a data tag.
struct TagPattern {
    alignas(16) std::uint8_t mask[kPacketSize];
    alignas(16) std::uint8_t data[kPacketSize];
};
consteval TagPattern MakeTagPattern() {
    TagPattern pattern{};
    for (std::uint32_t k = 0; k < kRecordsPerPacket; ++k) {
        pattern.mask[1 + kRecordSize * k] = kTagInvalid | kTagData;
        pattern.data[1 + kRecordSize * k] = kTagData;
    }
    return pattern;
}
constexpr TagPattern kTagPattern = MakeTagPattern();

// Whether all the tags of a packet are data tags, tested eight bytes at a
// time.
bool AllDataTags(const std::uint8_t *packet) {
    using Word = std::uint64_t;
    Word differ = 0;
#pragma GCC unroll 8
    for (std::uint32_t at = 0; at < kPacketSize; at += sizeof(Word)) {
        Word bytes, mask, data;
        std::memcpy(&bytes, packet + at, sizeof bytes);
        std::memcpy(&mask, kTagPattern.mask + at, sizeof mask);
        std::memcpy(&data, kTagPattern.data + at, sizeof data);
        differ |= (bytes & mask) ^ data;
    }
    return differ == 0;
}

// The whole packets at the start of the delivered bytes whose tags are all
// data tags: decoding takes all their records and goes on behind them.
std::uint32_t LeadingDataPackets(const std::uint8_t *block, std::uint32_t delivered) {
    std::uint32_t packets = 0;
    const std::uint32_t whole = delivered / kPacketSize;
    while (packets < whole && packets < kBlockPackets && AllDataTags(block + packets * kPacketSize)) {
        ++packets;
    }
    return packets;
}

// Decodes such packets in two passes: their points side by side first, one
// two-byte move per record at offsets the unrolled loop fixes, then spread
// over the channels by the contiguous point copy.
void DecodeDataPackets(const std::uint8_t *block, std::uint32_t packets, OutPutData &record) {
    std::uint8_t points[ZQLUSB_ROLL_MAX_POINTS * kPointSize];
    for (std::uint32_t p = 0; p < packets; ++p) {
        const std::uint8_t *from = block + p * kPacketSize + 2; // the first record's point
        std::uint8_t *to = points + p * kRecordsPerPacket * kPointSize;
#pragma GCC unroll 21
        for (std::uint32_t k = 0; k < kRecordsPerPacket; ++k) {
            std::memcpy(to + kPointSize * k, from + kRecordSize * k, kPointSize);
        }
    }
    const auto count = static_cast<std::int32_t>(packets * kRecordsPerPacket);
    PlacePoints(points, record, kFirstPointIndex, kFirstPointIndex + count, 1);
}

#ifdef ZQLUSB_ROLL_SHUFFLE

constexpr std::uint32_t kVectorSize = 16;
constexpr std::uint32_t kPacketVectors = kPacketSize / kVectorSize;
// A shuffle index that yields a zero byte.
constexpr std::uint8_t kShuffleZero = 0x80;
// The first record of the second 16-byte store of a channel, which takes the
// samples of records 5 to 20: it overlaps the first store (records 0 to 15),
// so that no byte behind the packet's last point is written.
constexpr std::uint32_t kSecondStoreRecord = kRecordsPerPacket - kVectorSize;

// Per 16-byte vector of a packet: the byte shuffle that moves the samples of
// one channel of 16 consecutive records, from record `first` on, to the
// positions of their points, taking those that lie in this vector and
// zeroing the others.
struct SampleShuffle {
    alignas(16) std::uint8_t index[kPacketVectors][kVectorSize];
};
consteval SampleShuffle MakeSampleShuffle(std::uint32_t channel, std::uint32_t first) {
    SampleShuffle shuffle{};
    for (std::uint32_t v = 0; v < kPacketVectors; ++v) {
        for (std::uint32_t k = 0; k < kVectorSize; ++k) {
            const std::uint32_t byte = 1 + channel + kRecordSize * (first + k);
            const bool inVector = first + k < kRecordsPerPacket && byte / kVectorSize == v;
            shuffle.index[v][k] = inVector ? static_cast<std::uint8_t>(byte % kVectorSize) : kShuffleZero;
        }
    }
    return shuffle;
}
// Channel A (byte 1 of a record) and channel B (byte 2): records 0 to 15,
// and records 16 to 20 of the last vector.
constexpr SampleShuffle kChannelAFirst = MakeSampleShuffle(1, 0);
constexpr SampleShuffle kChannelBFirst = MakeSampleShuffle(2, 0);
constexpr SampleShuffle kChannelALast = MakeSampleShuffle(1, kVectorSize);
constexpr SampleShuffle kChannelBLast = MakeSampleShuffle(2, kVectorSize);

// Whether a shuffle takes nothing from vector `v`.
consteval bool TakesNothingFrom(const SampleShuffle &shuffle, std::uint32_t v) {
    for (std::uint8_t index : shuffle.index[v]) {
        if (index != kShuffleZero) {
            return false;
        }
    }
    return true;
}
static_assert(TakesNothingFrom(kChannelAFirst, kPacketVectors - 1), "channel A of records 0-15 lies in vectors 0-2");
static_assert(!TakesNothingFrom(kChannelBFirst, kPacketVectors - 1), "channel B of record 15 lies in vector 3");

__attribute__((target("ssse3"))) inline __m128i Load(const std::uint8_t *bytes) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes));
}

__attribute__((target("ssse3"))) inline __m128i Shuffle(__m128i bytes, const std::uint8_t *index) {
    return _mm_shuffle_epi8(bytes, _mm_load_si128(reinterpret_cast<const __m128i *>(index)));
}

// The four 16-byte vectors of a packet.
struct PacketVectors {
    __m128i v0, v1, v2, v3;
};

// The 21 samples of one channel of a packet to `to`: points 0 to 15 from the
// first shuffles, points 5 to 20 as the last 11 of them followed by the
// samples of records 16 to 20, which all lie in the last vector. The samples
// of channel A of records 0 to 15 lie in the first three vectors, those of
// channel B reach into the last.
template <bool kReachesLastVector>
__attribute__((target("ssse3"))) inline void StoreChannel(const PacketVectors &packet, const SampleShuffle &first,
                                                          const SampleShuffle &last, std::uint8_t *to) {
    __m128i points = _mm_or_si128(_mm_or_si128(Shuffle(packet.v0, first.index[0]), Shuffle(packet.v1, first.index[1])),
                                  Shuffle(packet.v2, first.index[2]));
    if constexpr (kReachesLastVector) {
        points = _mm_or_si128(points, Shuffle(packet.v3, first.index[3]));
    }
    const __m128i rest = Shuffle(packet.v3, last.index[kPacketVectors - 1]);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to), points);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + kSecondStoreRecord),
                     _mm_alignr_epi8(rest, points, kSecondStoreRecord));
}

// The tag bits of one vector that differ from those of data tags.
__attribute__((target("ssse3"))) inline __m128i TagDifference(__m128i bytes, std::uint32_t vector) {
    const __m128i tags = _mm_and_si128(bytes, Load(kTagPattern.mask + vector * kVectorSize));
    return _mm_xor_si128(tags, Load(kTagPattern.data + vector * kVectorSize));
}

// Decodes the whole packets at the start of the first `whole` ones whose tags
// are all data tags, one packet at a time: its tags tested against the data
// tag pattern, then its points stored straight into both channels. Returns
// the number of packets decoded.
__attribute__((target("ssse3"))) std::uint32_t ShuffleDataPackets(const std::uint8_t *block, std::uint32_t whole,
                                                                  OutPutData &record) {
    std::uint8_t *a = record.TempBufferA + kFirstPointIndex;
    std::uint8_t *b = record.TempBufferB + kFirstPointIndex;
    std::uint32_t p = 0;
    for (; p < whole; ++p) {
        const std::uint8_t *bytes = block + p * kPacketSize;
        const PacketVectors packet{Load(bytes), Load(bytes + kVectorSize), Load(bytes + 2 * kVectorSize),
                                   Load(bytes + 3 * kVectorSize)};
        const __m128i differ = _mm_or_si128(_mm_or_si128(TagDifference(packet.v0, 0), TagDifference(packet.v1, 1)),
                                            _mm_or_si128(TagDifference(packet.v2, 2), TagDifference(packet.v3, 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(differ, _mm_setzero_si128())) != 0xFFFF) {
            break; // a tag that is not a data tag: the byte loop decodes this packet
        }
        StoreChannel<false>(packet, kChannelAFirst, kChannelALast, a + p * kRecordsPerPacket);
        StoreChannel<true>(packet, kChannelBFirst, kChannelBLast, b + p * kRecordsPerPacket);
    }
    return p;
}

// Whether the processor has SSSE3: CPUID leaf 1, ECX bit 9.
bool ProcessorHasShuffle() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_SSSE3) != 0;
}

#endif

// The path the processor allows, found at the first decode: 0 until then.
// Threads that race to find it store the same answer.
constexpr int kPathUnknown = 0;
int FastestPath = kPathUnknown;

int PathCode(RollDecodePath path) {
    return static_cast<int>(path) + 1;
}

RollDecodePath Fastest() {
    int code = __atomic_load_n(&FastestPath, __ATOMIC_RELAXED);
    if (code == kPathUnknown) {
        code =
            PathCode(HasRollDecodePath(RollDecodePath::Shuffle) ? RollDecodePath::Shuffle : RollDecodePath::Portable);
        __atomic_store_n(&FastestPath, code, __ATOMIC_RELAXED);
    }
    return static_cast<RollDecodePath>(code - 1);
}

// Decodes the leading whole packets whose tags are all data tags and returns
// their number.
std::uint32_t DecodeLeadingDataPackets(RollDecodePath path, const std::uint8_t *block, std::uint32_t delivered,
                                       OutPutData &record) {
#ifdef ZQLUSB_ROLL_SHUFFLE
    if (path == RollDecodePath::Shuffle) {
        const std::uint32_t whole = delivered / kPacketSize;
        return ShuffleDataPackets(block, whole < kBlockPackets ? whole : kBlockPackets, record);
    }
#else
    (void)path;
#endif
    const std::uint32_t packets = LeadingDataPackets(block, delivered);
    DecodeDataPackets(block, packets, record);
    return packets;
}

} // namespace

bool HasRollDecodePath(RollDecodePath path) {
#ifdef ZQLUSB_ROLL_SHUFFLE
    return path == RollDecodePath::Portable || ProcessorHasShuffle();
#else
    return path == RollDecodePath::Portable;
#endif
}

void DecodeRollBlock(const std::uint8_t *block, std::uint32_t delivered, OutPutData &record) {
    DecodeRollBlock(Fastest(), block, delivered, record);
}

void DecodeRollBlock(RollDecodePath path, const std::uint8_t *block, std::uint32_t delivered, OutPutData &record) {
    const std::uint32_t packets = DecodeLeadingDataPackets(path, block, delivered, record);
    std::int32_t DataCount = kFirstPointIndex + static_cast<std::int32_t>(packets * kRecordsPerPacket);
    std::uint8_t InvalidData = 0;
    std::uint32_t r = packets * kPacketSize;
    while (r < delivered) {
        const std::uint8_t DataFromScope = block[r];
        r += 1;
        if ((r - 1) % kPacketSize == 0) {
            continue; // the packet-start byte is not interpreted
        }
        if (DataFromScope & kTagInvalid) {
            InvalidData = 1;
            break;
        }
        if (!(DataFromScope & kTagData)) {
            break;
        }
        if (r + 2 > delivered) {
            break; // a record cut off by the end of the delivered bytes is dropped
        }
        record.TempBufferA[DataCount] = block[r];
        record.TempBufferB[DataCount] = block[r + 1];
        r += 2;
        DataCount += 1;
    }
    const std::int32_t n = DataCount - kFirstPointIndex;
    record.TempBufferA[0] = static_cast<unsigned char>(n & 0xFF);
    record.TempBufferA[1] = static_cast<unsigned char>((n >> 8) & 0xFF);
    record.TempBufferB[0] = InvalidData;
}

} // namespace zqlusb

#ifdef ZQLUSB_FUZZ_HOOKS
// The fuzz build only (never a DLL): lets the fuzz target run each decode
// path on every roll-mode reply, not only the one this processor picks.
// `path` is a RollDecodePath; 1 when this processor has it and it has
// decoded `block` into *record, else 0.
extern "C" __attribute__((visibility("default"))) int ZqlusbFuzzDecodeRollBlock(int path, const std::uint8_t *block,
                                                                                std::uint32_t delivered,
                                                                                OutPutData *record) {
    const auto which = static_cast<zqlusb::RollDecodePath>(path);
    if (!zqlusb::HasRollDecodePath(which)) {
        return 0;
    }
    zqlusb::DecodeRollBlock(which, block, delivered, *record);
    return 1;
}
#endif
