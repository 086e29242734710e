// The generators' waveforms.
#include "virtual_instrument/signal_model.h"

#include <cmath>
#include <numbers>

namespace vi {

namespace {

std::uint8_t Clip(double value) {
    long rounded = std::lround(value);
    return static_cast<std::uint8_t>(rounded < 0 ? 0 : rounded > 255 ? 255 : rounded);
}

// A hash of seed and position, so that noise needs no state.
std::uint32_t Mix(std::uint32_t seed, std::int64_t position) {
    std::uint64_t x = static_cast<std::uint64_t>(position) * 0x9E3779B97F4A7C15ull + seed;
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return static_cast<std::uint32_t>(x);
}

} // namespace

std::uint8_t Generator::At(std::int64_t position) const {
    const std::int64_t cycle = period == 0 ? 1 : period;
    const std::int64_t phase = ((position % cycle) + cycle) % cycle;
    const double t = static_cast<double>(phase) / static_cast<double>(cycle); // 0 <= t < 1
    switch (shape) {
    case Shape::Sine:
        return Clip(offset + amplitude * std::sin(2 * std::numbers::pi * t));
    case Shape::Square:
        return Clip(t < 0.5 ? offset + amplitude : offset - amplitude);
    case Shape::Triangle: // from the low peak up to the high peak at half the period, and down again
        return Clip(offset + amplitude * (t < 0.5 ? 4 * t - 1 : 3 - 4 * t));
    case Shape::Noise: {
        const std::int64_t span = 2 * static_cast<std::int64_t>(amplitude < 0 ? -amplitude : amplitude) + 1;
        return Clip(static_cast<double>(offset + static_cast<std::int64_t>(Mix(seed, position) % span) - span / 2));
    }
    case Shape::Dc:
        break;
    }
    return Clip(offset);
}

} // namespace vi
