// The trigger's scans. With SSE2 (every x86-64, and 32-bit builds that
// enable it) they test 64 samples a step: four 16-byte compares folded into
// one mask, the exact index looked up only in the step that matched.
// Elsewhere they are plain loops.
#include "scan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zqlscope::signal {

namespace {

// Samples tested per wide step: four SSE2 registers.
constexpr std::size_t kStep = 64;

template <bool Below> bool Matches(std::uint8_t sample, std::uint8_t threshold) {
    return Below ? sample <= threshold : sample >= threshold;
}

template <bool Below>
std::size_t Plain(const std::uint8_t *p, std::size_t i, std::size_t n, std::uint8_t threshold) {
    while (i < n && !Matches<Below>(p[i], threshold)) {
        ++i;
    }
    return i;
}

#if defined(__SSE2__)
// 0xFF in each byte that matches: x <= t is min(x, t) == x, x >= t is max(x, t) == x.
template <bool Below> __m128i Mask(const std::uint8_t *p, __m128i t) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return _mm_cmpeq_epi8(Below ? _mm_min_epu8(x, t) : _mm_max_epu8(x, t), x);
}

template <bool Below>
std::size_t Wide(const std::uint8_t *p, std::size_t i, std::size_t n, std::uint8_t threshold) {
    const __m128i t = _mm_set1_epi8(static_cast<char>(threshold));
    for (; i + kStep <= n; i += kStep) {
        const __m128i m0 = Mask<Below>(p + i, t), m1 = Mask<Below>(p + i + 16, t);
        const __m128i m2 = Mask<Below>(p + i + 32, t), m3 = Mask<Below>(p + i + 48, t);
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(m0, m1), _mm_or_si128(m2, m3))) == 0) {
            continue;
        }
        std::size_t at = i;
        for (const __m128i m : {m0, m1, m2, m3}) {
            if (const int bits = _mm_movemask_epi8(m)) {
                return at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(bits)));
            }
            at += 16;
        }
    }
    return Plain<Below>(p, i, n, threshold);
}
#else
template <bool Below>
std::size_t Wide(const std::uint8_t *p, std::size_t i, std::size_t n, std::uint8_t threshold) {
    return Plain<Below>(p, i, n, threshold);
}
#endif

} // namespace

std::size_t FirstBelow(std::span<const std::uint8_t> samples, std::size_t from, int bound) {
    if (from >= samples.size() || bound <= 0) {
        return samples.size();
    }
    if (bound > 255) {
        return from;
    }
    return Wide<true>(samples.data(), from, samples.size(), static_cast<std::uint8_t>(bound - 1));
}

std::size_t FirstAtOrAbove(std::span<const std::uint8_t> samples, std::size_t from, int bound) {
    if (from >= samples.size() || bound > 255) {
        return samples.size();
    }
    if (bound <= 0) {
        return from;
    }
    return Wide<false>(samples.data(), from, samples.size(), static_cast<std::uint8_t>(bound));
}

} // namespace zqlscope::signal
