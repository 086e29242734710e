// The signal model: per channel a generator of unsigned 8-bit samples with a
// shape, a period in samples, an amplitude and an offset, clipped to 0..255.
// Deterministic: a sample depends on its position alone (noise on a seed),
// never on a clock.
#pragma once

#include <cstdint>

namespace vi {

enum class Shape { Sine, Square, Triangle, Dc, Noise };

struct Generator {
    Shape shape = Shape::Dc;
    std::uint32_t period = 1; // samples per cycle; 0 counts as 1 (DC and noise ignore it)
    int amplitude = 0;        // peak deviation from the offset, in sample units
    int offset = 128;         // the level the signal swings about
    std::uint32_t seed = 0;   // noise only: which noise

    // The sample at a position of the signal; negative positions lie before
    // the capture start.
    std::uint8_t At(std::int64_t position) const;
};

// One point: the two channels' samples at the same position.
struct Point {
    std::uint8_t a = 0;
    std::uint8_t b = 0;
    bool operator==(const Point &) const = default;
};

} // namespace vi
