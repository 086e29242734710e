// The software trigger: finding level crossings in the instrument's sample
// bytes and placing frames around them, for a stream of roll-mode blocks and
// for capture records. Pure computation over sample buffers: no I/O, no
// globals, no threads; the live server and the command line share it.
//
// Points are numbered from the first point of a stream ("absolute" numbers,
// 64-bit) or from the first point of a buffer (an index into its span).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "channel.h"

namespace zqlscope::signal {

enum class Slope : std::uint8_t { Rising, Falling };

// off: no trigger, the newest points free-run (today's roll screen).
// auto: triggered frames, and free-running ones when nothing triggered for
//   the auto time-out.
// normal: triggered frames only; the last one stays on screen.
// single: one triggered frame, then nothing until re-armed.
enum class TriggerMode : std::uint8_t { Off, Auto, Normal, Single };

// What the screen shows, for its status line. Off only in mode off.
enum class TriggerState : std::uint8_t {
    Off,       // mode off: the newest points, untriggered
    Triggered, // "Trig'd": the frame shown was placed by a trigger
    Auto,      // auto mode free-running: nothing triggered within the time-out
    Waiting,   // normal or single: armed, no trigger yet (or none within the time-out)
    Stopped,   // single: triggered once; waits for Rearm
};

// "Off", "Trig'd", "Auto", "Waiting", "Stopped".
std::string_view StateName(TriggerState state);
// "off", "auto", "normal", "single".
std::string_view ModeName(TriggerMode mode);

// The largest hysteresis, in counts: a band wider than half the range could
// never be left on both sides.
constexpr int kMaxHysteresis = 127;

// A level crossing on one channel. Rising: the trigger arms once a sample is
// below level - hysteresis and fires at the first sample at or above level
// after that; falling: arms above level + hysteresis, fires at or below
// level. Noise smaller than the hysteresis cannot fire it twice.
struct Edge {
    Channel source = Channel::A;
    Slope slope = Slope::Rising;
    std::uint8_t level = 128;     // counts, 0 to 255
    std::uint8_t hysteresis = 4;  // counts, 0 to kMaxHysteresis
};

// The time-out after which auto mode free-runs and normal mode says Waiting:
// a number of points, or of frames of the frame length.
struct Timeout {
    enum class Unit : std::uint8_t { Points, Frames };
    std::uint64_t count = 2;
    Unit unit = Unit::Frames;
    std::uint64_t Points(std::size_t frameLength) const {
        return unit == Unit::Points ? count : count * frameLength;
    }
};

struct TriggerSettings {
    Edge edge;
    TriggerMode mode = TriggerMode::Auto;
    double position = 50;      // percent of the frame before the trigger point, 0 to 100
    std::uint64_t holdoff = 0; // points after a trigger point in which no other is taken
    Timeout autoTimeout;
};

// The search's memory between buffers: whether the slope is armed. Carry it
// from one block to the next so that a crossing whose two sides fall in two
// blocks is found in the second, at its index 0.
struct CrossingState {
    bool armed = false;
};

// The index of the first crossing in samples[from..], updating `state` over
// the samples it looked at (through the crossing, which disarms it, or to
// the end). None when there is none; then `state` holds for the next block.
std::optional<std::size_t> FindCrossing(std::span<const std::uint8_t> samples, const Edge &edge, CrossingState &state,
                                        std::size_t from = 0);

// Every crossing of the buffer, in order (state carried the same way).
std::vector<std::size_t> FindCrossings(std::span<const std::uint8_t> samples, const Edge &edge, CrossingState &state);

// Points of a frame of n that lie before its trigger point: the position's
// share of the n - 1 steps, rounded; 0 % puts the trigger point first,
// 100 % last.
std::size_t PretriggerPoints(std::size_t frameLength, double positionPercent);

// The first point of the frame of n points placed by a trigger at `crossing`
// (absolute or buffer numbers alike). Negative when the frame would begin
// before point 0.
std::int64_t FrameStart(std::int64_t crossing, std::size_t frameLength, double positionPercent);

// The points a stream must keep so that any position of a frame of n can be
// placed around a crossing found in a block of up to `block` points: the
// frame may end up to a block before the newest point.
std::size_t HistoryCapacity(std::size_t frameLength, std::size_t block);

// The recent points of both channels of a stream, in a ring: appending
// overwrites the oldest. It grows (never shrinks) when a block would not
// leave `keep` points of history before it.
class History {
  public:
    explicit History(std::size_t keep);
    // Appends a block; a and b have the same length.
    void Append(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    std::uint64_t End() const { return end_; }       // absolute number one past the newest point
    std::uint64_t Begin() const;                      // absolute number of the oldest point kept
    std::size_t Keep() const { return keep_; }
    // Keeps at least `keep` points from now on (the points kept stay).
    void Reserve(std::size_t keep);
    // Copies points [start, start + n) into a and b (each n long); false,
    // copying nothing, when any of them is not kept.
    bool Copy(std::int64_t start, std::size_t n, std::uint8_t *a, std::uint8_t *b) const;

  private:
    void Grow(std::size_t capacity);
    std::size_t keep_;
    std::vector<std::uint8_t> a_, b_; // rings of the same capacity
    std::uint64_t end_ = 0;
};

// A frame of both channels, n points each, and where it came from.
struct Frame {
    std::vector<std::uint8_t> a, b;
    std::uint64_t start = 0;                  // absolute number of its first point
    std::optional<std::uint64_t> trigger;     // absolute number of its trigger point, if triggered
};

// What one block did to the screen: the state for the status line and, when
// the screen should change, the frame to show.
struct TriggerUpdate {
    TriggerState state = TriggerState::Off;
    std::optional<Frame> frame;
};

// The trigger on a roll-mode stream: feed it every block; it keeps the
// history, searches the source channel across blocks, takes crossings
// subject to the holdoff, and hands out each frame as soon as all its points
// have arrived (of several complete in one block, the newest). A frame whose
// start lies before the first point of the stream is not placed.
class StreamTrigger {
  public:
    StreamTrigger(const TriggerSettings &settings, std::size_t frameLength);
    TriggerUpdate Feed(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    // New settings (or a new frame length): the search re-arms, the history stays.
    void Configure(const TriggerSettings &settings, std::size_t frameLength);
    // Single mode: wait for the next trigger again.
    void Rearm();
    TriggerState State() const { return state_; }
    // The last frame a trigger placed (normal mode keeps showing it).
    const std::optional<Frame> &LastTriggered() const { return lastTriggered_; }
    const TriggerSettings &Settings() const { return settings_; }

  private:
    void TakeCrossings(std::uint64_t blockStart, std::span<const std::uint8_t> source);
    std::optional<Frame> CompleteFrame();
    Frame Newest() const;

    TriggerSettings settings_;
    std::size_t frameLength_;
    History history_;
    CrossingState search_;
    std::optional<std::uint64_t> lastTrigger_;  // last crossing taken (holdoff counts from it)
    std::vector<std::uint64_t> pending_;        // taken, waiting for their post-trigger points
    std::uint64_t quietSince_ = 0;              // absolute point from which the time-out counts
    std::optional<Frame> lastTriggered_;
    TriggerState state_;
    bool fired_ = false;                        // single mode: the one frame was given
};

// A capture record placed by its trigger: the crossing used and the record
// index of the frame's first point (negative, or with the frame reaching past
// the record's end, when the record does not cover the whole frame).
struct RecordPlacement {
    std::size_t crossing = 0;
    std::int64_t start = 0;
};

// The first crossing of the record whose frame of n points lies wholly in
// it; else the first crossing at all; none without a crossing. Ask for a
// record one signal period (or more) longer than the frame to get a whole
// frame at any position.
std::optional<RecordPlacement> PlaceRecord(std::span<const std::uint8_t> source, const Edge &edge,
                                           std::size_t frameLength, double positionPercent);

// Parsers for the command-line forms, each an error sentence on failure
// (empty on success) in the style of the program's usage errors.
//   "a:rising:128" (source a|b, slope rising|falling, level 0-255)
std::string ParseEdge(std::string_view text, Edge &edge);
//   "off", "auto", "normal", "single"
std::string ParseMode(std::string_view text, TriggerMode &mode);

} // namespace zqlscope::signal
