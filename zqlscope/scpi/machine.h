// The SCPI side of the instrument: the settings a client makes, the last
// acquisition, the error queue and status registers, and Execute, which runs
// one program line and gives its reply. A line runs in two passes: the first
// checks every command of it on a copy of the settings (headers, parameter
// counts, types and ranges), so that a malformed line queues its error and
// changes nothing; the second runs it, talking to the instrument through the
// library's exports.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scpi/errors.h"
#include "scpi/parser.h"
#include "signal/channel.h"
#include "signal/trigger.h"
#include "signal/units.h"

namespace zqlscope::scpi {

enum class AcquireMode : std::uint8_t { Record, Roll };
enum class WaveFormat : std::uint8_t { Byte, Ascii };

// Points of an acquisition after *RST: the default of zqlscope capture.
constexpr long kDefaultPoints = 1000;

// Everything a client sets; *RST brings back these values.
struct Settings {
    AcquireMode mode = AcquireMode::Record;
    long points = kDefaultPoints;
    signal::TriggerSettings trigger = OffTrigger();
    signal::Channel waveSource = signal::Channel::A;
    WaveFormat format = WaveFormat::Byte;
    signal::Units units; // the user's scale and sample rate: nothing the instrument reports

    static signal::TriggerSettings OffTrigger() {
        signal::TriggerSettings t;
        t.mode = signal::TriggerMode::Off;
        return t;
    }
};

// An acquisition: both channels, the same length.
struct Acquisition {
    std::vector<std::uint8_t> a, b;
    std::optional<std::int64_t> triggerIndex; // point of the trigger within it, when triggered
    const std::vector<std::uint8_t> &Of(signal::Channel channel) const { return channel == signal::Channel::A ? a : b; }
};

// A failed step of a command: its error; code 0 is success.
using Status = Error;
inline Status Ok() {
    return Error{};
}
inline bool Failed(const Status &status) {
    return status.code != code::kNoError;
}

class Machine;

// A command of the line with its table entry found.
struct Call {
    const struct Entry *entry = nullptr;
    std::vector<int> suffixes; // one per numbered node ("CHAN2": 2)
    std::vector<std::string> params;
};

// One row of the command table: a header in its long form with the short
// form in capitals ("WAVeform:DATA", "*IDN", "CHANnel#:SCALe"), whether it is
// the query form, its parameters' check (which also applies a setting, on
// whichever settings it is given) and what it does on the instrument.
struct Entry {
    std::string_view header;
    bool query;
    std::string_view params; // for the guide: "CHANnel<n>", "<value>", ""
    Status (*prepare)(Settings &settings, const Call &call);
    Status (*run)(Machine &machine, const Call &call, std::string &reply); // null for a setting alone
};

// The whole table, in the guide's order.
const std::vector<Entry> &CommandTable();

// The entry for a parsed command and its suffixes: -113 for an unknown
// header, -114 for a suffix out of range.
Status Find(const ProgramUnit &unit, Call &call);

class Machine {
  public:
    // A line's whole reply is held before it is sent; more than this (a line
    // of hundreds of waveform queries) is refused with -223.
    static constexpr std::size_t kMaxReplyBytes = std::size_t{16} << 20;

    // Runs one line (without its line feed) and returns the reply: the
    // queries' answers separated by ';' and ended by a line feed, or empty.
    std::string Execute(std::string_view line);

    // A line longer than the server's limit, dropped unread.
    void Overlong(std::size_t limit);

    void Push(Error error);
    Settings &Current() { return settings_; }
    ErrorQueue &Errors() { return errors_; }
    std::uint8_t &EventStatus() { return esr_; }
    std::uint8_t &EventEnable() { return ese_; }
    std::uint8_t StatusByte() const;
    void Reset();

    // The last acquisition, if any; while running, data queries first take a new one.
    const std::optional<Acquisition> &Data() const { return data_; }
    bool Running() const { return running_; }
    void SetRunning(bool running) { running_ = running; }
    // Takes one acquisition with the current settings.
    Status Acquire();
    // Data for a query: a new acquisition while running, else the last.
    Status DataForQuery(const Acquisition *&out);

  private:
    Settings settings_;
    ErrorQueue errors_;
    std::uint8_t esr_ = 0, ese_ = 0;
    std::optional<Acquisition> data_;
    bool running_ = true;
};

} // namespace zqlscope::scpi
