// The instrument's two channels, as the signal functions name them.
#pragma once

#include <cstdint>

namespace zqlscope::signal {

enum class Channel : std::uint8_t { A, B };

} // namespace zqlscope::signal
