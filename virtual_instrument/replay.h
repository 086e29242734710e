// Replay of a session trace: with ZQLUSB_VIRTUAL_REPLAY=FILE the process's
// virtual instrument answers from the trace instead of its models. Each
// transfer the library makes is matched, in order, with the next recorded
// DeviceIoControl: a read gets the recorded reply, result and returned
// count; a write is compared with the recorded bytes and gets the recorded
// result. Listings of the device and opens fail where the recorded ones
// failed, and the retry dialog gets the recorded answers. The first divergence (another request, other
// lengths, other bytes, a transfer beyond the trace's last) is reported once,
// on standard error and in the instrument's event log, with the record's
// number and the recorded and actual bytes in hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vi {

class Instrument;

// The environment variable that the default instrument reads at first use.
extern const char kReplayVariable[];

class Replay {
  public:
    // The recorded session of the trace in `bytes`; nullptr, with the
    // reason, when the file holds no readable transfers.
    static std::shared_ptr<Replay> FromTrace(const std::vector<std::uint8_t> &bytes, const std::string &name,
                                             std::string *error);

    // One device transfer as the driver would make it; returns the recorded
    // result. `area` is the buffer the library passed for both directions.
    bool Transfer(std::uint32_t code, const std::uint8_t *in, std::uint32_t inLength, std::uint8_t *area,
                  std::uint32_t outLength, std::uint32_t *returned);
    // Whether the next listing of the device interfaces found the
    // instrument when the session was recorded (true once they are used up).
    bool NextEnumerationFinds();
    // Whether the next open succeeded when the session was recorded (true
    // once the recorded opens are used up).
    bool NextOpenSucceeds();
    // The next recorded answer of the retry dialog, if any is left.
    std::optional<int> NextDialogAnswer();

    // The reply bytes the last Transfer wrote into its area.
    std::uint32_t delivered() const { return delivered_; }
    // The report of the first divergence, empty while the session matches.
    const std::string &divergence() const { return divergence_; }
    std::size_t transfersLeft() const { return transfers_.size() - next_; }

    struct Recorded {
        std::uint32_t number = 0;
        std::uint32_t code = 0;
        std::uint32_t inLength = 0;
        std::uint32_t outLength = 0;
        std::vector<std::uint8_t> in;  // the bytes written (writes only)
        std::vector<std::uint8_t> out; // the reply (reads)
        std::uint32_t returned = 0;
        bool ok = false;
    };

  private:
    void Diverge(const std::string &what);

    std::string name_;
    std::vector<Recorded> transfers_;
    std::size_t next_ = 0;
    std::deque<bool> enumerations_;
    std::deque<bool> opens_;
    std::deque<int> answers_;
    std::uint32_t lastNumber_ = 0;
    std::uint32_t delivered_ = 0;
    std::string divergence_;
};

// One transfer answered from `device`'s replay, logged as the models log
// theirs; its first divergence goes into the instrument's events. The
// stand-in and the driver's host both answer through it.
bool ReplayTransfer(Instrument &device, std::uint32_t code, const std::uint8_t *in, std::uint32_t inLength,
                    std::uint8_t *area, std::uint32_t outLength, std::uint32_t *returned);

// Reads the variable and sets `device` to replay the trace it names; a file
// that cannot be read is reported on standard error and leaves the
// instrument detached.
void ApplyReplayFromEnvironment(Instrument &device);

// The bytes as hex; around the first difference from `other` when long.
std::string HexAround(const std::uint8_t *bytes, std::size_t length, const std::uint8_t *other,
                      std::size_t otherLength);

} // namespace vi
