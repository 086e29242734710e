#include "tests/reference/link_outcomes.h"

namespace reference {

namespace {

bool Holds(When when, const LinkState &state, bool ok) {
    switch (when) {
    case When::DialogModeOff:
        return !state.dialogMode;
    case When::TransferSucceeded:
        return ok;
    case When::NoSilentReconnectYet:
        return state.silentReconnects == 0;
    case When::LinkNotFailed:
        return !state.linkFailed;
    case When::Otherwise:
        return true;
    }
    return true;
}

bool Apply(const Outcome &outcome, LinkState &state, bool ok) {
    if (outcome.handle != Handle::Keep) {
        state.open = outcome.handle == Handle::Reopen;
    }
    switch (outcome.linkFailed) {
    case LinkFailed::Keep:
        break;
    case LinkFailed::Clear:
        state.linkFailed = false;
        break;
    case LinkFailed::Set:
        state.linkFailed = true;
        break;
    case LinkFailed::SetIfTransferFailed:
        state.linkFailed = !ok;
        break;
    }
    if (outcome.reconnects == Reconnects::Reset) {
        state.silentReconnects = 0;
    } else if (outcome.reconnects == Reconnects::CountOne) {
        state.silentReconnects += 1;
    }
    return outcome.repeat;
}

} // namespace

bool AfterWrite(LinkState &state, bool ok, const std::function<int()> &askUser) {
    for (const OutcomeRow &row : kWriteOutcomes) {
        if (!Holds(row.when, state, ok)) {
            continue;
        }
        if (row.asksUser && askUser() != kRetryAnswer) {
            return Apply(row.onCancel, state, ok);
        }
        return Apply(row.outcome, state, ok);
    }
    return false;
}

} // namespace reference
