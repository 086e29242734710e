// The trigger search's inner loop: the state machine of one slope run over
// 64 samples at a time. Each step turns the chunk into two bit masks (the
// samples that arm the slope and those that fire it) and follows the state
// through their bits, so a chunk with nothing to do costs a few
// instructions, and finding a crossing costs no more than reading to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zqlscope::signal {

// The slope's two tests as bounds. Rising: armed by a sample below `arm`,
// fired by one at or above `fire`. Falling: armed at or above `arm`, fired
// below `fire`. Any int: bounds outside 0..256 mean never or always.
struct SlopeBounds {
    bool rising;
    int arm;
    int fire;
};

// The first crossing in samples[from..], carrying `armed` as FindCrossing does.
std::optional<std::size_t> ScanCrossing(std::span<const std::uint8_t> samples, std::size_t from,
                                        const SlopeBounds &bounds, bool &armed);

} // namespace zqlscope::signal
