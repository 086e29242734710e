// The platform seam bound to a link whose transfers cost nothing: every call
// succeeds, writes go nowhere, and a read is answered from a prepared reply.
#pragma once

#include <cstdint>

namespace bench {

constexpr std::uint32_t kReplySize = 65536;

// Reads are answered with the first bytes of `reply` (at most kReplySize),
// as many as the read asks for.
void AnswerReadsWith(const std::uint8_t *reply);

} // namespace bench
