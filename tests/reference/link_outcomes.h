// What follows each write transfer (a command stream or a raw write): the
// outcome table as data, and the link state it acts on. The first row whose
// condition holds applies. Never consulted after a read or a ready probe.
#pragma once

#include <functional>

namespace reference {

// The answer of the retry dialog that retries (IDRETRY); any other cancels.
constexpr int kRetryAnswer = 4;

struct LinkState {
    bool dialogMode = false; // switched on by SetDLLBehaviour's bit 0, for good
    bool linkFailed = false; // while set, reads make no read transfer
    bool open = true;        // the device handle
    int silentReconnects = 0;
};

// The condition of a row, tested in the table's order.
enum class When {
    DialogModeOff,
    TransferSucceeded,
    NoSilentReconnectYet,
    LinkNotFailed,
    Otherwise,
};
enum class Handle { Keep, Reopen, Close };
enum class LinkFailed { Keep, Clear, Set, SetIfTransferFailed };
enum class Reconnects { Keep, Reset, CountOne };

struct Outcome {
    Handle handle;
    LinkFailed linkFailed;
    Reconnects reconnects;
    bool repeat; // the same transfer is made again
};

struct OutcomeRow {
    When when;
    bool asksUser;    // the retry dialog is shown
    Outcome outcome;  // without the dialog, or on Retry
    Outcome onCancel; // on any other answer
};

inline constexpr Outcome kNoOutcome = {Handle::Keep, LinkFailed::Keep, Reconnects::Keep, false};

inline constexpr OutcomeRow kWriteOutcomes[] = {
    {When::DialogModeOff, false, {Handle::Keep, LinkFailed::SetIfTransferFailed, Reconnects::Keep, false}, kNoOutcome},
    {When::TransferSucceeded, false, {Handle::Keep, LinkFailed::Clear, Reconnects::Reset, false}, kNoOutcome},
    {When::NoSilentReconnectYet, false, {Handle::Reopen, LinkFailed::Clear, Reconnects::CountOne, true}, kNoOutcome},
    {When::LinkNotFailed,
     true,
     {Handle::Reopen, LinkFailed::Clear, Reconnects::Keep, true},
     {Handle::Close, LinkFailed::Set, Reconnects::Keep, false}},
    {When::Otherwise, false, {Handle::Close, LinkFailed::Keep, Reconnects::Keep, false}, kNoOutcome},
};

// Applies the table to `state` after a write transfer that succeeded when
// `ok`; `askUser` is called where the row asks the user and returns the
// dialog's answer. True when the transfer is to be made again.
bool AfterWrite(LinkState &state, bool ok, const std::function<int()> &askUser);

} // namespace reference
