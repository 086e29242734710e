// The instrument's script: what an application author sets in the
// ZQLUSB_VIRTUAL_SCRIPT environment variable to make the process's default
// virtual instrument show other signals or misbehave. Statements are
// separated by ';' or newlines:
//   a|b SHAPE [period=N] [amplitude=N] [offset=N] [seed=N]
//                        SHAPE is sine, square, triangle, dc or noise
//   unplug after=N       detach after N more driver transfers
//   replug after=M       re-attach after M driver calls while detached
//   fail-writes N        the next N write transfers fail
//   invalid-roll N       the next N roll-mode blocks are marked invalid
//   dialog ANSWER...     the retry dialog's answers, retry or cancel, in turn
//   capture gap=N        free-running records N points apart (end to start; default 1237)
//   capture still        every record from the same start, as a triggered instrument shows
// A script with any mistake is reported once on standard error and ignored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "virtual_instrument/signal_model.h"

namespace vi {

class Instrument;

// The environment variable that the default instrument reads at first use.
extern const char kScriptVariable[];

struct Script {
    std::optional<Generator> channelA, channelB;
    std::optional<std::uint32_t> unplugAfter, replugAfter;
    int failWrites = 0;
    int invalidRollBlocks = 0;
    std::vector<int> dialogAnswers; // the message box answers Retry (4) or Cancel (2)
    std::optional<std::int64_t> captureGap; // capture gap=N
    bool captureStill = false;              // capture still
};

// Parses a script; on a mistake returns nothing and says what is wrong.
std::optional<Script> ParseScript(const std::string &text, std::string *error);
// Applies a parsed script to an instrument; the script's dialogs are echoed
// on standard error so that a person sees them.
void ApplyScript(Instrument &device, const Script &script);
// Reads the variable, parses and applies it; a malformed script is reported
// on standard error and ignored.
void ApplyScriptFromEnvironment(Instrument &device);

} // namespace vi
