// The receive buffer shared by the acquisition operations.
#include "acquisition/scope_buffer.h"

namespace zqlusb {

std::uint8_t ScopeBuffer[kScopeBufferSize];

} // namespace zqlusb
