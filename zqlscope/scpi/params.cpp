#include "scpi/params.h"

#include "scpi/replies.h"

namespace zqlscope::scpi {

using signal::Channel;

Status Params(const Call &call, std::size_t least, std::size_t most) {
    if (call.params.size() < least) {
        return Status{code::kMissingParameter, std::to_string(least) + " expected"};
    }
    if (call.params.size() > most) {
        return Status{code::kParameterNotAllowed, "at most " + std::to_string(most) + " expected"};
    }
    return Ok();
}

Status NumberIn(const std::string &text, double low, double high, double &value) {
    const auto number = ParseNumber(text);
    if (!number) {
        return Status{code::kDataTypeError, "'" + text + "' is not a number"};
    }
    if (*number < low || *number > high) {
        return Status{code::kDataOutOfRange, text + " is outside " + Number(low) + " to " + Number(high)};
    }
    value = *number;
    return Ok();
}

Status OneOf(const std::string &word, std::initializer_list<std::string_view> choices, int &index) {
    index = 0;
    for (std::string_view choice : choices) {
        if (MatchNode(choice, word) == 0) {
            return Ok();
        }
        ++index;
    }
    return Status{code::kIllegalParameterValue, "'" + word + "'"};
}

Status ChannelParam(const std::string &word, Channel &channel) {
    const auto n = MatchNode("CHANnel#", word);
    if (!n || *n < 1 || *n > 2) {
        return Status{code::kIllegalParameterValue, "'" + word + "' is not CHANnel1 or CHANnel2"};
    }
    channel = *n == 1 ? Channel::A : Channel::B;
    return Ok();
}

} // namespace zqlscope::scpi
