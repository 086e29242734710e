// A compact model of what the instrument must see when write transfers fail:
// the outcome table of a failed write (silent reconnect once, then the
// retry dialog in dialog mode; the link-failed state otherwise) written down
// independently of the library, and the transfers it predicts.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <vector>

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
        : dialogMode_(dialogMode), failing_(std::move(failing)), answers_(std::move(answers)) {}

    // A write transfer with its repetitions; true when it finally succeeded.
    bool Write(std::uint32_t code, const std::vector<int> &bytes);
    // A read transfer, made when `always` or the link is usable; true when made.
    bool Read(std::uint32_t code, std::uint32_t length, bool always);

    std::vector<ExpectedTransfer> transfers;
    int dialogs = 0;
    bool open = true;
    bool linkFailed = false;

  private:
    // The decision after one attempt: true to repeat it.
    bool Again(bool ok);
    bool dialogMode_;
    std::set<std::uint32_t> failing_;
    std::deque<int> answers_;
    std::uint32_t attempt_ = 0;
    int silentReconnects_ = 0;
};

} // namespace testbed
