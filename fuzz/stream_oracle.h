// The fuzz target's oracle: an independent model of the command stream and
// of what follows a failed write. It predicts, call by call, the transfers
// the instrument must log: the pending commands in order and whole in each
// write, a failed write repeated exactly when the outcome table asks for it,
// dropped only when it finally failed, and a read transfer exactly when the
// link is usable. It also keeps its own copy of the receive buffer so that
// the caller's records can be predicted byte for byte.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tests/reference/link_outcomes.h"
#include "virtual_instrument/instrument.h"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;
// A command byte, or kAny for one the library leaves unwritten.
constexpr int kAny = -1;
using Pattern = std::vector<int>;

class StreamOracle {
  public:
    explicit StreamOracle(vi::Instrument &device);

    // What the calls append and send.
    void Append(const Pattern &command);        // no flush test
    void AppendChecked(const Pattern &command); // flushes at a full buffer
    void Flush();
    // A read request: aligned, appended, flushed; true when a read follows.
    bool ReadRequest(const Pattern &request);
    void WriteRaw(const Bytes &bytes);
    // The read transfer that follows; returns the bytes it delivered and
    // stores its result and reported count.
    Bytes Read(std::uint32_t length, bool *ok = nullptr, std::uint32_t *reported = nullptr);
    bool Ready();

    void SetDialogMode() { link_.dialogMode = true; }
    void ScriptAnswer(int answer) { answers_.push_back(answer); }

    // Everything the device logged has been predicted.
    void Settle();
    std::uint8_t receive[65536] = {};

  private:
    void ExpectWrite(std::uint32_t code, const Pattern &bytes);
    const vi::Transfer &Next(const char *what);
    int DialogAnswer();
    vi::Instrument &device_;
    Pattern pending_;
    std::size_t cursor_ = 0;
    std::size_t dialogs_ = 0;
    reference::LinkState link_;
    std::deque<int> answers_;
};

// A difference between the library and the model: the run fails.
[[noreturn]] void Finding(const std::string &what);

} // namespace fuzz
