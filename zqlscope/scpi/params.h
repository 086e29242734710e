// Checks of a command's parameters, each giving the standard error: how
// many there are, numbers within a range, and words from a list.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "scpi/machine.h"

namespace zqlscope::scpi {

// -109 for fewer than `least` parameters, -108 for more than `most`.
Status Params(const Call &call, std::size_t least, std::size_t most);

// A number within [low, high]: -104 when it is no number, -222 outside.
Status NumberIn(const std::string &text, double low, double high, double &value);

// Which of the mnemonics ("RECord", "ROLL") the word is: -224 when none.
Status OneOf(const std::string &word, std::initializer_list<std::string_view> choices, int &index);

// CHANnel1 or CHANnel2 (any form): -224 for anything else.
Status ChannelParam(const std::string &word, signal::Channel &channel);

} // namespace zqlscope::scpi
