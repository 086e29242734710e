// A compact model of what the instrument must see when write transfers fail:
// the reference model's outcome table of a write (silent reconnect once,
// then the retry dialog in dialog mode; the link-failed state otherwise)
// applied to a run of transfers, and the transfers it predicts.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <vector>

#include "tests/reference/link_outcomes.h"

namespace testbed {

// One expected transfer: its control request, its bytes (-1 for a byte the
// library leaves unwritten; empty for reads), its outcome.
struct ExpectedTransfer {
    std::uint32_t code = 0;
    std::vector<int> bytes;
    std::uint32_t length = 0;
    bool ok = false;
};

class LinkModel {
  public:
    LinkModel(bool dialogMode, std::set<std::uint32_t> failing, std::deque<int> answers)
        : failing_(std::move(failing)), answers_(std::move(answers)) {
        link.dialogMode = dialogMode;
    }

    // A write transfer with its repetitions; true when it finally succeeded.
    bool Write(std::uint32_t code, const std::vector<int> &bytes);
    // A read transfer, made when `always` or the link is usable; true when made.
    bool Read(std::uint32_t code, std::uint32_t length, bool always);

    std::vector<ExpectedTransfer> transfers;
    int dialogs = 0;
    reference::LinkState link; // open at the start

  private:
    // The next scripted dialog answer; none left counts as Cancel.
    int Answer();
    std::set<std::uint32_t> failing_;
    std::deque<int> answers_;
    std::uint32_t attempt_ = 0;
};

} // namespace testbed
