// The level-crossing search, frame placement and the stream trigger's state
// machine.
#include "trigger.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

#include "scan.h"

namespace zqlscope::signal {

std::string_view StateName(TriggerState state) {
    switch (state) {
    case TriggerState::Off: return "Off";
    case TriggerState::Triggered: return "Trig'd";
    case TriggerState::Auto: return "Auto";
    case TriggerState::Waiting: return "Waiting";
    case TriggerState::Stopped: return "Stopped";
    }
    return "?";
}

std::string_view ModeName(TriggerMode mode) {
    switch (mode) {
    case TriggerMode::Off: return "off";
    case TriggerMode::Auto: return "auto";
    case TriggerMode::Normal: return "normal";
    case TriggerMode::Single: return "single";
    }
    return "?";
}

namespace {

// The two tests of a slope as byte bounds: armed by a sample below
// `armBelow` (rising) or at or above `armAtOrAbove` (falling), fired by the
// opposite bound at the level. Bounds outside 0..255 mean always or never,
// which FirstBelow and FirstAtOrAbove handle.
struct Bounds {
    int arm;  // rising: arm when sample < arm; falling: arm when sample >= arm
    int fire; // rising: fire when sample >= fire; falling: fire when sample < fire
};

Bounds BoundsOf(const Edge &edge) {
    const int h = std::min<int>(edge.hysteresis, kMaxHysteresis);
    if (edge.slope == Slope::Rising) {
        return {edge.level - h, edge.level};
    }
    return {edge.level + h + 1, edge.level + 1};
}

} // namespace

std::optional<std::size_t> FindCrossing(std::span<const std::uint8_t> samples, const Edge &edge, CrossingState &state,
                                        std::size_t from) {
    const Bounds bounds = BoundsOf(edge);
    const bool rising = edge.slope == Slope::Rising;
    std::size_t i = from;
    while (i < samples.size()) {
        if (!state.armed) {
            i = rising ? FirstBelow(samples, i, bounds.arm) : FirstAtOrAbove(samples, i, bounds.arm);
            if (i >= samples.size()) {
                return std::nullopt;
            }
            state.armed = true;
        }
        i = rising ? FirstAtOrAbove(samples, i, bounds.fire) : FirstBelow(samples, i, bounds.fire);
        if (i >= samples.size()) {
            return std::nullopt;
        }
        state.armed = false;
        return i;
    }
    return std::nullopt;
}

std::vector<std::size_t> FindCrossings(std::span<const std::uint8_t> samples, const Edge &edge, CrossingState &state) {
    std::vector<std::size_t> found;
    std::size_t from = 0;
    while (const auto at = FindCrossing(samples, edge, state, from)) {
        found.push_back(*at);
        from = *at + 1;
    }
    return found;
}

std::size_t PretriggerPoints(std::size_t frameLength, double positionPercent) {
    if (frameLength == 0) {
        return 0;
    }
    const double share = std::clamp(positionPercent, 0.0, 100.0) / 100.0;
    return static_cast<std::size_t>(std::lround(share * static_cast<double>(frameLength - 1)));
}

std::int64_t FrameStart(std::int64_t crossing, std::size_t frameLength, double positionPercent) {
    return crossing - static_cast<std::int64_t>(PretriggerPoints(frameLength, positionPercent));
}

std::size_t HistoryCapacity(std::size_t frameLength, std::size_t block) {
    return frameLength + block;
}

// --- History ---------------------------------------------------------------

History::History(std::size_t keep) : keep_(keep), a_(keep), b_(keep) {}

std::uint64_t History::Begin() const {
    return end_ > a_.size() ? end_ - a_.size() : 0;
}

void History::Grow(std::size_t capacity) {
    const std::uint64_t begin = Begin();
    const std::size_t kept = static_cast<std::size_t>(end_ - begin);
    std::vector<std::uint8_t> a(kept), b(kept);
    Copy(static_cast<std::int64_t>(begin), kept, a.data(), b.data());
    a_.assign(capacity, 0);
    b_.assign(capacity, 0);
    for (std::size_t i = 0; i < kept; ++i) {
        const std::size_t at = static_cast<std::size_t>((begin + i) % capacity);
        a_[at] = a[i];
        b_[at] = b[i];
    }
}

void History::Reserve(std::size_t keep) {
    keep_ = std::max(keep_, keep);
    if (a_.size() < keep_) {
        Grow(keep_);
    }
}

void History::Append(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t n = std::min(a.size(), b.size());
    if (a_.size() < HistoryCapacity(keep_, n)) {
        Grow(HistoryCapacity(keep_, n));
    }
    const std::size_t capacity = a_.size();
    std::size_t done = 0;
    while (done < n) {
        const std::size_t at = static_cast<std::size_t>((end_ + done) % capacity);
        const std::size_t run = std::min(n - done, capacity - at);
        std::memcpy(a_.data() + at, a.data() + done, run);
        std::memcpy(b_.data() + at, b.data() + done, run);
        done += run;
    }
    end_ += n;
}

bool History::Copy(std::int64_t start, std::size_t n, std::uint8_t *a, std::uint8_t *b) const {
    if (start < 0 || static_cast<std::uint64_t>(start) < Begin() || static_cast<std::uint64_t>(start) + n > end_) {
        return false;
    }
    const std::size_t capacity = a_.size();
    std::size_t done = 0;
    while (done < n) {
        const std::size_t at = static_cast<std::size_t>((static_cast<std::uint64_t>(start) + done) % capacity);
        const std::size_t run = std::min(n - done, capacity - at);
        std::memcpy(a + done, a_.data() + at, run);
        std::memcpy(b + done, b_.data() + at, run);
        done += run;
    }
    return true;
}

// --- StreamTrigger ---------------------------------------------------------

namespace {

TriggerState InitialState(TriggerMode mode) {
    switch (mode) {
    case TriggerMode::Off: return TriggerState::Off;
    case TriggerMode::Auto: return TriggerState::Auto;
    default: return TriggerState::Waiting;
    }
}

} // namespace

StreamTrigger::StreamTrigger(const TriggerSettings &settings, std::size_t frameLength)
    : settings_(settings), frameLength_(frameLength), history_(frameLength), state_(InitialState(settings.mode)) {}

void StreamTrigger::Configure(const TriggerSettings &settings, std::size_t frameLength) {
    settings_ = settings;
    history_.Reserve(frameLength);
    frameLength_ = frameLength;
    search_ = {};
    pending_.clear();
    lastTrigger_.reset();
    quietSince_ = history_.End();
    fired_ = false;
    state_ = InitialState(settings.mode);
}

void StreamTrigger::Rearm() {
    fired_ = false;
    pending_.clear();
    search_ = {};
    quietSince_ = history_.End();
    state_ = InitialState(settings_.mode);
}

void StreamTrigger::TakeCrossings(std::uint64_t blockStart, std::span<const std::uint8_t> source) {
    const bool single = settings_.mode == TriggerMode::Single;
    std::size_t from = 0;
    while (const auto at = FindCrossing(source, settings_.edge, search_, from)) {
        from = *at + 1;
        const std::uint64_t crossing = blockStart + *at;
        if (single && (fired_ || !pending_.empty())) {
            return; // one trigger only
        }
        if (lastTrigger_ && crossing < *lastTrigger_ + settings_.holdoff) {
            continue; // within the holdoff
        }
        const std::int64_t start =
            FrameStart(static_cast<std::int64_t>(crossing), frameLength_, settings_.position);
        if (start < 0 || static_cast<std::uint64_t>(start) < history_.Begin()) {
            continue; // its pre-trigger points are not there
        }
        pending_.push_back(crossing);
        lastTrigger_ = crossing;
        quietSince_ = crossing;
    }
}

std::optional<Frame> StreamTrigger::CompleteFrame() {
    const std::size_t pre = PretriggerPoints(frameLength_, settings_.position);
    auto complete = pending_.end();
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (*it - pre + frameLength_ <= history_.End()) {
            complete = it;
        }
    }
    if (complete == pending_.end()) {
        return std::nullopt;
    }
    Frame frame;
    frame.trigger = *complete;
    frame.start = *complete - pre;
    frame.a.resize(frameLength_);
    frame.b.resize(frameLength_);
    history_.Copy(static_cast<std::int64_t>(frame.start), frameLength_, frame.a.data(), frame.b.data());
    pending_.erase(pending_.begin(), complete + 1);
    return frame;
}

Frame StreamTrigger::Newest() const {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(frameLength_, history_.End()));
    Frame frame;
    frame.start = history_.End() - n;
    frame.a.resize(n);
    frame.b.resize(n);
    history_.Copy(static_cast<std::int64_t>(frame.start), n, frame.a.data(), frame.b.data());
    return frame;
}

TriggerUpdate StreamTrigger::Feed(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::uint64_t blockStart = history_.End();
    history_.Append(a, b);
    if (settings_.mode == TriggerMode::Off) {
        state_ = TriggerState::Off;
        return {state_, Newest()};
    }
    if (settings_.mode == TriggerMode::Single && fired_) {
        return {state_ = TriggerState::Stopped, std::nullopt};
    }
    const std::span<const std::uint8_t> source = settings_.edge.source == Channel::A ? a : b;
    TakeCrossings(blockStart, source.first(std::min(a.size(), b.size())));
    if (std::optional<Frame> frame = CompleteFrame()) {
        lastTriggered_ = *frame;
        if (settings_.mode == TriggerMode::Single) {
            fired_ = true;
            pending_.clear();
            state_ = TriggerState::Stopped;
        } else {
            state_ = TriggerState::Triggered;
        }
        return {state_, std::move(frame)};
    }
    if (history_.End() - quietSince_ < settings_.autoTimeout.Points(frameLength_)) {
        return {state_, std::nullopt}; // a trigger is recent: the screen stays as it is
    }
    if (settings_.mode == TriggerMode::Auto) {
        state_ = TriggerState::Auto;
        return {state_, Newest()};
    }
    state_ = TriggerState::Waiting;
    return {state_, std::nullopt};
}

// --- Capture records -------------------------------------------------------

std::optional<RecordPlacement> PlaceRecord(std::span<const std::uint8_t> source, const Edge &edge,
                                           std::size_t frameLength, double positionPercent) {
    const std::size_t pre = PretriggerPoints(frameLength, positionPercent);
    CrossingState state;
    std::optional<RecordPlacement> first;
    std::size_t from = 0;
    while (const auto at = FindCrossing(source, edge, state, from)) {
        const RecordPlacement placement{*at, FrameStart(static_cast<std::int64_t>(*at), frameLength, positionPercent)};
        if (*at >= pre && *at - pre + frameLength <= source.size()) {
            return placement;
        }
        if (!first) {
            first = placement;
        }
        if (*at - pre + frameLength > source.size() && *at >= pre) {
            break; // later crossings only reach further past the end
        }
        from = *at + 1;
    }
    return first;
}

// --- Command-line forms ----------------------------------------------------

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

} // namespace

std::string ParseEdge(std::string_view text, Edge &edge) {
    const std::string form = "'" + std::string(text) + "' is not SOURCE:SLOPE:LEVEL (e.g. a:rising:128)";
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
    if (second == std::string_view::npos) {
        return form;
    }
    const std::string source = Lower(text.substr(0, first));
    const std::string slope = Lower(text.substr(first + 1, second - first - 1));
    const std::string_view level = text.substr(second + 1);
    Edge parsed = edge;
    if (source != "a" && source != "b") {
        return form + ": the source is a or b";
    }
    parsed.source = source == "a" ? Channel::A : Channel::B;
    if (slope != "rising" && slope != "falling") {
        return form + ": the slope is rising or falling";
    }
    parsed.slope = slope == "rising" ? Slope::Rising : Slope::Falling;
    unsigned value = 0;
    const auto [end, error] = std::from_chars(level.data(), level.data() + level.size(), value);
    if (level.empty() || error != std::errc() || end != level.data() + level.size() || value > 255) {
        return form + ": the level is a count from 0 to 255";
    }
    parsed.level = static_cast<std::uint8_t>(value);
    edge = parsed;
    return "";
}

std::string ParseMode(std::string_view text, TriggerMode &mode) {
    for (const TriggerMode m : {TriggerMode::Off, TriggerMode::Auto, TriggerMode::Normal, TriggerMode::Single}) {
        if (Lower(text) == ModeName(m)) {
            mode = m;
            return "";
        }
    }
    return "'" + std::string(text) + "' is not a trigger mode (off, auto, normal or single)";
}

} // namespace zqlscope::signal
