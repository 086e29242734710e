// The two scans the trigger search is made of: the first sample below a
// bound and the first at or above one. They run over the whole block in
// wide steps, so that a block without a crossing costs little more than
// reading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zqlscope::signal {

// The index of the first sample in samples[from..] below `bound` (any int:
// 0 or less matches nothing, above 255 everything); samples.size() if none.
std::size_t FirstBelow(std::span<const std::uint8_t> samples, std::size_t from, int bound);
// The same for the first sample at or above `bound`.
std::size_t FirstAtOrAbove(std::span<const std::uint8_t> samples, std::size_t from, int bound);

} // namespace zqlscope::signal
