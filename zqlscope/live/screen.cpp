// The live screen's trigger and frames, and the pages' commands that set them.
#include "screen.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "signal/measurements.h"

namespace zqlscope::live {

namespace {

using signal::TriggerMode;
using signal::TriggerState;

bool ParseTrigger(std::istringstream &words, signal::TriggerSettings &out) {
    std::string mode, source, slope;
    int level = -1;
    double position = -1;
    long long holdoff = -1;
    words >> mode >> source >> slope >> level >> position >> holdoff;
    signal::TriggerSettings next = out;
    if (!words || !words.eof() || level < 0 || level > 255 || !(position >= 0 && position <= 100) || holdoff < 0 ||
        !signal::ParseMode(mode, next.mode).empty() ||
        !signal::ParseEdge(source + ":" + slope + ":" + std::to_string(level), next.edge).empty()) {
        return false;
    }
    next.edge.hysteresis = out.edge.hysteresis;
    next.position = position;
    next.holdoff = static_cast<std::uint64_t>(holdoff);
    out = next;
    return true;
}

std::string Quoted(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out + "\"";
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string RowsJson(signal::Channel channel, const std::vector<std::uint8_t> &frame, const signal::Units &units) {
    std::string out = "[";
    for (const signal::MeasurementRow &row : signal::MeasurementRows(channel, signal::Measure(frame), units)) {
        out += (out.size() > 1 ? "," : "") + std::string("[") + Quoted(row.key) + "," + Quoted(row.label) + "," +
               Quoted(row.value) + "]";
    }
    return out + "]";
}

std::string ScaleJson(const signal::ChannelScale &scale) {
    return "{\"voltsPerCount\":" + (scale.voltsPerCount ? Number(*scale.voltsPerCount) : std::string("null")) +
           ",\"zeroCount\":" + Number(scale.zeroCount) + "}";
}

} // namespace

bool ApplyPageCommand(Controls &controls, std::string_view command) {
    if (command == "run" || command == "stop") {
        controls.running = command == "run";
        return true;
    }
    if (command == "reconnect" || command == "rearm") {
        (command == "reconnect" ? controls.reconnect : controls.rearm) = true;
        return true;
    }
    std::istringstream words{std::string(command)};
    std::string verb;
    words >> verb;
    std::lock_guard<std::mutex> lock(controls.mutex);
    ScreenSettings next = controls.screen;
    if (verb == "frame") {
        long long n = 0;
        words >> n;
        if (!words || !words.eof() || n < 2 || n > static_cast<long long>(kMaxFrameLength)) {
            return false;
        }
        next.frameLength = static_cast<std::size_t>(n);
    } else if (verb != "trigger" || !ParseTrigger(words, next.trigger)) {
        return false;
    }
    controls.screen = next;
    ++controls.screenVersion;
    return true;
}

std::string MeasureJson(const std::vector<std::uint8_t> &a, const std::vector<std::uint8_t> &b,
                        const signal::Units &units) {
    return "{\"type\":\"measure\",\"points\":" + std::to_string(a.size()) +
           ",\"note\":" + Quoted(signal::AxesNote(units)) + ",\"a\":" + RowsJson(signal::Channel::A, a, units) +
           ",\"b\":" + RowsJson(signal::Channel::B, b, units) + "}";
}

std::string UnitsJson(const signal::Units &units) {
    return "{\"sampleRate\":" + (units.sampleRate ? Number(*units.sampleRate) : std::string("null")) +
           ",\"a\":" + ScaleJson(units.a) + ",\"b\":" + ScaleJson(units.b) + "}";
}

void Screen::Sync(Controls &controls) {
    {
        std::lock_guard<std::mutex> lock(controls.mutex);
        if (controls.screenVersion != version_) {
            version_ = controls.screenVersion;
            settings_ = controls.screen;
            singleFired_ = false;
            recent_.Reserve(settings_.frameLength);
            if (settings_.trigger.mode == TriggerMode::Off) {
                stream_.reset();
            } else if (stream_) {
                stream_->Configure(settings_.trigger, settings_.frameLength);
            } else {
                stream_.emplace(settings_.trigger, settings_.frameLength);
            }
        }
    }
    if (controls.rearm.exchange(false)) {
        singleFired_ = false;
        if (stream_) {
            stream_->Rearm();
        }
    }
}

std::optional<Shown> Screen::Take(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    return mode_ == Mode::Roll ? TakeRoll(a, b) : TakeRecord(a, b);
}

std::optional<Shown> Screen::Keep(FrameKind kind, std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                                  std::int32_t trigger) {
    fresh_ = true;
    if (kind == FrameKind::RollBlock) {
        return Shown{kind, a, b, trigger};
    }
    shownA_.assign(a.begin(), a.end());
    shownB_.assign(b.begin(), b.end());
    return Shown{kind, shownA_, shownB_, trigger};
}

// Untriggered, each block goes out as it is and scrolls the screen; with the
// trigger, a whole screen goes out when one is placed.
std::optional<Shown> Screen::TakeRoll(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    recent_.Append(a, b);
    if (!stream_) {
        state_ = TriggerState::Off;
        return Keep(FrameKind::RollBlock, a, b, -1);
    }
    signal::TriggerUpdate update = stream_->Feed(a, b);
    state_ = update.state;
    if (!update.frame) {
        return std::nullopt;
    }
    const signal::Frame &frame = *update.frame;
    const std::int32_t trigger =
        frame.trigger ? static_cast<std::int32_t>(*frame.trigger - frame.start) : std::int32_t{-1};
    return Keep(FrameKind::Screen, frame.a, frame.b, trigger);
}

// A record is placed by its first crossing; without one, auto shows its
// beginning, normal and single show nothing new. Single shows one.
std::optional<Shown> Screen::TakeRecord(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const signal::TriggerSettings &t = settings_.trigger;
    if (t.mode == TriggerMode::Off) {
        state_ = TriggerState::Off;
        return Keep(FrameKind::Record, a, b, -1);
    }
    if (t.mode == TriggerMode::Single && singleFired_) {
        state_ = TriggerState::Stopped;
        return std::nullopt;
    }
    const std::size_t n = std::min(settings_.frameLength, a.size());
    const auto place = signal::PlaceRecord(t.edge.source == signal::Channel::A ? a : b, t.edge, n, t.position);
    if (!place) {
        state_ = t.mode == TriggerMode::Auto ? TriggerState::Auto : TriggerState::Waiting;
        return t.mode == TriggerMode::Auto ? Keep(FrameKind::Screen, a.first(n), b.first(n), -1)
                                           : std::optional<Shown>{};
    }
    // A frame that would reach past the record is moved inside it; the
    // trigger point then sits off its set position.
    const auto last = static_cast<std::int64_t>(a.size() - n);
    const std::size_t start = static_cast<std::size_t>(std::clamp<std::int64_t>(place->start, 0, last));
    singleFired_ = t.mode == TriggerMode::Single;
    state_ = singleFired_ ? TriggerState::Stopped : TriggerState::Triggered;
    return Keep(FrameKind::Screen, a.subspan(start, n), b.subspan(start, n),
                static_cast<std::int32_t>(place->crossing - start));
}

bool Screen::FreshFrame(std::vector<std::uint8_t> &a, std::vector<std::uint8_t> &b) {
    if (!fresh_) {
        return false;
    }
    fresh_ = false;
    if (mode_ == Mode::Roll && !stream_) { // the newest screenful of the stream
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(settings_.frameLength, recent_.End() - recent_.Begin()));
        a.resize(n);
        b.resize(n);
        return recent_.Copy(static_cast<std::int64_t>(recent_.End() - n), n, a.data(), b.data());
    }
    a = shownA_;
    b = shownB_;
    return true;
}

} // namespace zqlscope::live
