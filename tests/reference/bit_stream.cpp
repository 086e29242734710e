#include "tests/reference/bit_stream.h"

namespace reference {

void ExpandBitStream(const std::uint8_t *data, std::size_t length, std::uint8_t *out) {
    for (std::size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool one = ((data[i] >> bit) & 1) != 0;
            *out++ = PortImage(one, true);
            *out++ = PortImage(one, false);
            *out++ = PortImage(one, true);
        }
    }
}

std::vector<std::uint8_t> ExpandBitStream(const std::vector<std::uint8_t> &data) {
    std::vector<std::uint8_t> out(data.size() * kImagesPerByte);
    ExpandBitStream(data.data(), data.size(), out.data());
    return out;
}

} // namespace reference
