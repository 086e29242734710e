// The screen the acquisition loop keeps for the pages: the trigger over the
// roll-mode stream or over each capture record, and the frame last shown,
// which the measurements are made on.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "live.h"

namespace zqlscope::live {

// A frame to send: a whole screen, or the block or record as read.
struct Shown {
    FrameKind kind = FrameKind::RollBlock;
    std::span<const std::uint8_t> a, b;
    std::int32_t triggerIndex = -1;
};

class Screen {
  public:
    explicit Screen(Mode mode) : mode_(mode) {}
    // Takes the pages' settings when they changed, and a re-arm.
    void Sync(Controls &controls);
    // One block or record read: what to send, if anything; the state is State().
    std::optional<Shown> Take(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    signal::TriggerState State() const { return state_; }
    // The frame on screen, for the measurements; false when nothing new
    // was shown since the last call.
    bool FreshFrame(std::vector<std::uint8_t> &a, std::vector<std::uint8_t> &b);
    const ScreenSettings &Settings() const { return settings_; }

  private:
    std::optional<Shown> TakeRoll(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    std::optional<Shown> TakeRecord(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);
    std::optional<Shown> Keep(FrameKind kind, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                              std::int32_t trigger);

    Mode mode_;
    ScreenSettings settings_;
    std::uint64_t version_ = ~std::uint64_t{0};
    std::optional<signal::StreamTrigger> stream_;          // roll mode with the trigger on
    signal::History recent_{ScreenSettings{}.frameLength}; // roll mode: the newest points
    std::vector<std::uint8_t> shownA_, shownB_;
    bool fresh_ = false;
    bool singleFired_ = false; // capture mode, single: the one frame was shown
    signal::TriggerState state_ = signal::TriggerState::Off;
};

} // namespace zqlscope::live
