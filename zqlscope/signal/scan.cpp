// The trigger search's chunked state machine. The masks come from SSE2
// (every x86-64, and 32-bit builds that enable it), from AVX2 where the
// processor has it (checked at each call), or from a plain loop.
#include "scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZQLSCOPE_SCAN_AVX2 1
#endif

namespace zqlscope::signal {

namespace {

constexpr std::size_t kChunk = 64; // samples per step: one bit each in a 64-bit mask

// The tests as one byte threshold each: "at or below t" or "at or above t",
// or a mask of all or none when the bound lies outside the bytes.
struct Test {
    bool below;          // v <= t, else v >= t
    std::uint8_t t;
    int fixed;           // -1: compare; 0: no sample; 1: every sample
};

Test Below(int bound) { // v < bound
    return bound <= 0 ? Test{true, 0, 0} : bound > 255 ? Test{true, 0, 1} : Test{true, std::uint8_t(bound - 1), -1};
}

Test AtOrAbove(int bound) { // v >= bound
    return bound <= 0 ? Test{false, 0, 1} : bound > 255 ? Test{false, 0, 0} : Test{false, std::uint8_t(bound), -1};
}

struct Masks {
    std::uint64_t arm, fire;
};

bool Passes(const Test &test, std::uint8_t v) {
    return test.fixed >= 0 ? test.fixed == 1 : test.below ? v <= test.t : v >= test.t;
}

[[maybe_unused]] std::uint64_t Fixed(const Test &test) {
    return test.fixed == 1 ? ~0ull : 0;
}

#if defined(__SSE2__)
std::uint64_t MaskSse2(const std::uint8_t *p, const Test &test) {
    if (test.fixed >= 0) {
        return Fixed(test);
    }
    const __m128i t = _mm_set1_epi8(static_cast<char>(test.t));
    std::uint64_t mask = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * k));
        const __m128i m = _mm_cmpeq_epi8(test.below ? _mm_min_epu8(x, t) : _mm_max_epu8(x, t), x);
        mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m))) << (16 * k);
    }
    return mask;
}
Masks ChunkMasks(const std::uint8_t *p, const Test &arm, const Test &fire) {
    return {MaskSse2(p, arm), MaskSse2(p, fire)};
}
#else
Masks ChunkMasks(const std::uint8_t *p, const Test &arm, const Test &fire) {
    Masks m{0, 0};
    for (std::size_t k = 0; k < kChunk; ++k) {
        m.arm |= static_cast<std::uint64_t>(Passes(arm, p[k])) << k;
        m.fire |= static_cast<std::uint64_t>(Passes(fire, p[k])) << k;
    }
    return m;
}
#endif

// Follows the state through a chunk's masks from bit `pos`: the bit of the
// crossing, or -1 with `armed` as the chunk leaves it.
int Follow(const Masks &m, int pos, bool &armed) {
    for (;;) {
        if (!armed) {
            const std::uint64_t a = m.arm & (~0ull << pos);
            if (a == 0) {
                return -1;
            }
            pos = __builtin_ctzll(a);
            armed = true;
        }
        const std::uint64_t f = m.fire & (~0ull << pos);
        if (f == 0) {
            return -1;
        }
        armed = false;
        return __builtin_ctzll(f);
    }
}

template <Masks (*Chunk)(const std::uint8_t *, const Test &, const Test &)>
inline std::optional<std::size_t> Scan(std::span<const std::uint8_t> s, std::size_t i, const Test &arm,
                                       const Test &fire, bool &armed) {
    const std::uint8_t *p = s.data();
    for (; i + kChunk <= s.size(); i += kChunk) {
        const int at = Follow(Chunk(p + i, arm, fire), 0, armed);
        if (at >= 0) {
            return i + static_cast<std::size_t>(at);
        }
    }
    for (; i < s.size(); ++i) { // the tail, one sample at a time
        if (!armed) {
            armed = Passes(arm, p[i]);
        } else if (Passes(fire, p[i])) {
            armed = false;
            return i;
        }
    }
    return std::nullopt;
}

#if defined(ZQLSCOPE_SCAN_AVX2)
// Both masks of a chunk from one pair of loads. Rising: arm v <= armT, fire
// v >= fireT; falling: arm v >= armT, fire v <= fireT.
template <bool Rising>
__attribute__((target("avx2"))) inline Masks MasksAvx2(const std::uint8_t *p, __m256i armT, __m256i fireT) {
    const __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    const __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
    const __m256i a0 = _mm256_cmpeq_epi8(Rising ? _mm256_min_epu8(x0, armT) : _mm256_max_epu8(x0, armT), x0);
    const __m256i a1 = _mm256_cmpeq_epi8(Rising ? _mm256_min_epu8(x1, armT) : _mm256_max_epu8(x1, armT), x1);
    const __m256i f0 = _mm256_cmpeq_epi8(Rising ? _mm256_max_epu8(x0, fireT) : _mm256_min_epu8(x0, fireT), x0);
    const __m256i f1 = _mm256_cmpeq_epi8(Rising ? _mm256_max_epu8(x1, fireT) : _mm256_min_epu8(x1, fireT), x1);
    return {static_cast<std::uint32_t>(_mm256_movemask_epi8(a0)) |
                static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(a1))) << 32,
            static_cast<std::uint32_t>(_mm256_movemask_epi8(f0)) |
                static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(f1))) << 32};
}

// The chunks with AVX2, both tests comparing; the tail as elsewhere.
template <bool Rising>
__attribute__((target("avx2"))) std::optional<std::size_t>
ScanAvx2(std::span<const std::uint8_t> s, std::size_t i, const Test &arm, const Test &fire, bool &armed) {
    const __m256i armT = _mm256_set1_epi8(static_cast<char>(arm.t));
    const __m256i fireT = _mm256_set1_epi8(static_cast<char>(fire.t));
    const std::uint8_t *p = s.data();
    for (; i + kChunk <= s.size(); i += kChunk) {
        const Masks m = MasksAvx2<Rising>(p + i, armT, fireT);
        if ((armed ? m.fire : m.arm) == 0) {
            continue; // nothing changes the state in this chunk
        }
        const int at = Follow(m, 0, armed);
        if (at >= 0) {
            return i + static_cast<std::size_t>(at);
        }
    }
    if (i < s.size() && s.size() >= kChunk) {
        // The tail as the last whole chunk, without the bits already seen.
        const std::size_t base = s.size() - kChunk;
        Masks m = MasksAvx2<Rising>(p + base, armT, fireT);
        m.arm >>= i - base;
        m.fire >>= i - base;
        const int at = Follow(m, 0, armed);
        return at >= 0 ? std::optional<std::size_t>(i + static_cast<std::size_t>(at)) : std::nullopt;
    }
    return Scan<ChunkMasks>(s, i, arm, fire, armed);
}
#endif

} // namespace

std::optional<std::size_t> ScanCrossing(std::span<const std::uint8_t> samples, std::size_t from,
                                        const SlopeBounds &bounds, bool &armed) {
    const Test arm = bounds.rising ? Below(bounds.arm) : AtOrAbove(bounds.arm);
    const Test fire = bounds.rising ? AtOrAbove(bounds.fire) : Below(bounds.fire);
#if defined(ZQLSCOPE_SCAN_AVX2)
    if (arm.fixed < 0 && fire.fixed < 0 && __builtin_cpu_supports("avx2")) {
        return bounds.rising ? ScanAvx2<true>(samples, from, arm, fire, armed)
                             : ScanAvx2<false>(samples, from, arm, fire, armed);
    }
#endif
    return Scan<ChunkMasks>(samples, from, arm, fire, armed);
}

} // namespace zqlscope::signal
