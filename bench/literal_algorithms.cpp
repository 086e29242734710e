// The straightforward append, kept here unchanged whatever the library does.
#include "bench/literal_algorithms.h"

#include "link/command_stream.h"

namespace bench {

void LiteralAppend(std::uint8_t opcode, std::uint8_t operand) {
    zqlusb::Buffer[zqlusb::BufferLength] = opcode;
    zqlusb::Buffer[zqlusb::BufferLength + 1] = operand;
    zqlusb::BufferLength += 2;
    if (zqlusb::BufferLength >= zqlusb::kBufferSize) {
        USBFlushBuffer();
    }
}

} // namespace bench
