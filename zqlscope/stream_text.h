// The instrument's byte protocol as readable lines, for `zqlscope trace
// show`: a command stream command by command (register writes grouped by
// their address, the serial EEPROM's and the I2C EEPROM's sequences
// summarised), a raw write as the FPGA bit stream it carries, and a reply by
// the request it answers.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zqlscope {

using ByteView = std::span<const std::uint8_t>;

// What the instrument is asked to send next: the sub-code of the last read
// request seen, 0 for none.
struct StreamState {
    std::uint8_t pendingRead = 0;
};

// The commands of one stream write, a line for each (register writes: a
// line for each address with its data). Notes the last read request in
// `state`.
std::vector<std::string> DescribeStream(ByteView stream, StreamState *state);

// A run of register-write calls: pairs of ordinal (6 EPB, 7 address, 8 data)
// and value, described as the commands they append.
std::vector<std::string> DescribeRegisterCalls(ByteView pairs);

// A raw write: the FPGA bit stream it expands, or why it is not one.
std::string DescribeRawWrite(ByteView bytes);

// A read transfer's reply, by the request it answers.
std::string DescribeReply(ByteView reply, const StreamState &state);

// "0x0A", "0x1234": hex with a fixed number of digits.
std::string HexValue(std::uint64_t value, int digits);

} // namespace zqlscope
