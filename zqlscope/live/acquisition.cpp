// The acquisition loop of zqlscope live: the one thread that calls the
// library. It keeps the link's state (ready, no instrument, link failed),
// reads a roll-mode block or a scope record each period while running, puts
// it through the screen's trigger, and reports frames, status and the
// measurements of the frame on screen to the server.
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <sstream>
#include <thread>

#include "live.h"
#include "screen.h"
#include "zqlusb.h"

namespace zqlscope::live {

namespace {

using Clock = std::chrono::steady_clock;

// One read per 10 ms: more frames than a display shows, while the loop sleeps
// most of the time on the virtual instrument, which answers at once.
constexpr auto kReadPeriod = std::chrono::milliseconds(10);
// While the instrument is absent, an open is tried this often by itself.
constexpr auto kReopenPeriod = std::chrono::seconds(2);
// The status goes out at least this often, so that a page sees the counts move.
constexpr auto kStatusPeriod = std::chrono::milliseconds(500);
// The measurements of the frame on screen go out this often: readable
// numbers, and little work beside the reads.
constexpr auto kMeasurePeriod = std::chrono::milliseconds(200);

enum class Link { Ready, NoInstrument, LinkFailed };

const char *LinkText(Link link) {
    switch (link) {
    case Link::Ready:
        return "ready";
    case Link::NoInstrument:
        return "no instrument";
    case Link::LinkFailed:
        return "link failed";
    }
    return "";
}

struct LoopState {
    Link link = Link::NoInstrument;
    std::uint32_t sequence = 0;
    std::uint64_t blocks = 0;
    std::uint64_t invalidBlocks = 0;
    std::uint64_t points = 0;
    std::uint64_t reconnects = 0;
    Clock::time_point nextOpen{};
    std::string lastStatus; // link and run state of the last status sent
    Clock::time_point lastStatusTime{};
    Clock::time_point lastMeasureTime{};
    std::vector<std::uint8_t> measuredA, measuredB;
};

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(system_clock::now().time_since_epoch()).count();
}

void Put32(std::string &out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
}

// Opens the instrument; the link is ready when it then answers the ready probe.
void Open(LoopState &state) {
    const bool opened = USBInitDevice() == 0;
    state.link = !opened ? Link::NoInstrument : DeviceReady() ? Link::Ready : Link::LinkFailed;
    state.nextOpen = Clock::now() + kReopenPeriod;
    state.reconnects += opened ? 1 : 0;
}

// What one read gave: both channels' points, when it returned, and whether
// the instrument marked the roll block invalid.
struct Read {
    std::span<const std::uint8_t> a, b;
    double time = 0;
    bool invalid = false;
};

Read ReadRoll(OutPutData &record, LoopState &state) {
    USBRetrieveRollModeData(&record);
    const double readTime = NowMs();
    const std::uint32_t count =
        std::min<std::uint32_t>(record.TempBufferA[0] | (record.TempBufferA[1] << 8), ZQLUSB_ROLL_MAX_POINTS);
    const bool invalid = record.TempBufferB[0] != 0;
    state.invalidBlocks += invalid ? 1 : 0;
    state.points += count;
    return {{record.TempBufferA + 2, count}, {record.TempBufferB + 2, count}, readTime, invalid};
}

Read ReadCapture(OutPutData &record, long count, LoopState &state) {
    const long header[] = {count, 0, 1}; // DataCount, DataOffset, Step
    for (int i = 0; i < 3; ++i) {
        record.TempBufferA[2 * i] = static_cast<unsigned char>(header[i] & 0xFF);
        record.TempBufferA[2 * i + 1] = static_cast<unsigned char>(header[i] >> 8);
    }
    USBRetrieveScopeData(&record);
    const double readTime = NowMs();
    state.points += static_cast<std::uint64_t>(count);
    const auto n = static_cast<std::size_t>(count);
    return {{record.TempBufferA, n}, {record.TempBufferB, n}, readTime, false};
}

// Puts a read through the screen and sends what it shows.
void Show(const Read &read, Screen &screen, LoopState &state, const Sink &sink) {
    const std::optional<Shown> shown = screen.Take(read.a, read.b);
    if (!shown) {
        return;
    }
    const FrameHeader header{shown->kind,      read.invalid, screen.State(),
                             state.sequence++, read.time,    shown->triggerIndex};
    sink(std::make_shared<Message>(Message{
        true, EncodeFrame(header, shown->a.data(), shown->b.data(), static_cast<std::uint32_t>(shown->a.size())), ""}));
}

void ReportMeasurements(const LoopSettings &settings, Screen &screen, LoopState &state, const Sink &sink) {
    const auto now = Clock::now();
    if (now - state.lastMeasureTime < kMeasurePeriod || !screen.FreshFrame(state.measuredA, state.measuredB)) {
        return;
    }
    state.lastMeasureTime = now;
    sink(std::make_shared<Message>(
        Message{false, MeasureJson(state.measuredA, state.measuredB, settings.units), "measure"}));
}

std::string TriggerJson(const Screen &screen) {
    const signal::TriggerSettings &t = screen.Settings().trigger;
    std::ostringstream json;
    json << "{\"mode\":\"" << signal::ModeName(t.mode) << "\",\"source\":\""
         << (t.edge.source == signal::Channel::A ? "a" : "b") << "\",\"slope\":\""
         << (t.edge.slope == signal::Slope::Rising ? "rising" : "falling") << "\",\"level\":" << int{t.edge.level}
         << ",\"hysteresis\":" << int{t.edge.hysteresis} << ",\"position\":" << t.position
         << ",\"holdoff\":" << t.holdoff << ",\"state\":\"" << signal::StateName(screen.State()) << "\"}";
    return json.str();
}

std::string StatusJson(const LoopSettings &settings, const Controls &controls, const LoopState &state,
                       const Screen &screen) {
    std::ostringstream json;
    json << "{\"type\":\"status\",\"link\":\"" << LinkText(state.link)
         << "\",\"running\":" << (controls.running ? "true" : "false") << ",\"mode\":\""
         << (settings.mode == Mode::Roll ? "roll" : "capture") << "\",\"blocks\":" << state.blocks
         << ",\"invalidBlocks\":" << state.invalidBlocks << ",\"points\":" << state.points
         << ",\"opens\":" << state.reconnects << ",\"frameLength\":" << screen.Settings().frameLength
         << ",\"trigger\":" << TriggerJson(screen) << ",\"units\":" << UnitsJson(settings.units) << "}";
    return json.str();
}

// Sends the status when the link, run state or mode changed, and with the
// counts once a period.
void ReportStatus(const LoopSettings &settings, const Controls &controls, LoopState &state, const Screen &screen,
                  const Sink &sink) {
    const std::string key = std::string(LinkText(state.link)) + (controls.running ? "+" : "-") +
                            std::string(signal::StateName(screen.State())) + TriggerJson(screen);
    const auto now = Clock::now();
    if (key != state.lastStatus || now - state.lastStatusTime >= kStatusPeriod) {
        sink(std::make_shared<Message>(Message{false, StatusJson(settings, controls, state, screen), "status"}));
        state.lastStatus = key;
        state.lastStatusTime = now;
    }
}

// One period's work: reopen when due or asked, else probe and read.
void Step(const LoopSettings &settings, Controls &controls, OutPutData &record, LoopState &state, Screen &screen,
          const Sink &sink) {
    screen.Sync(controls);
    const bool asked = controls.reconnect.exchange(false);
    if (asked || (state.link != Link::Ready && Clock::now() >= state.nextOpen)) {
        Open(state);
    }
    if (state.link != Link::Ready || !controls.running) {
        return;
    }
    if (!DeviceReady()) { // the instrument went away: try once at once
        Open(state);
        if (state.link != Link::Ready) {
            return;
        }
    }
    Show(settings.mode == Mode::Roll ? ReadRoll(record, state) : ReadCapture(record, settings.count, state), screen,
         state, sink);
    ++state.blocks;
}

} // namespace

std::string EncodeFrame(const FrameHeader &header, const std::uint8_t *a, const std::uint8_t *b, std::uint32_t count) {
    std::string out(kFrameHeaderBytes + 2 * std::size_t{count}, '\0');
    out[0] = static_cast<char>(kFrameFormat);
    out[1] = static_cast<char>(header.kind);
    out[2] = static_cast<char>(header.invalid ? 1 : 0);
    out[3] = static_cast<char>(header.state);
    Put32(out, 4, header.sequence);
    std::uint64_t timeBits = 0;
    static_assert(sizeof timeBits == sizeof header.readTimeMs);
    std::memcpy(&timeBits, &header.readTimeMs, sizeof timeBits);
    Put32(out, 8, static_cast<std::uint32_t>(timeBits));
    Put32(out, 12, static_cast<std::uint32_t>(timeBits >> 32));
    Put32(out, 16, count);
    Put32(out, 20, static_cast<std::uint32_t>(header.triggerIndex));
    std::memcpy(out.data() + kFrameHeaderBytes, a, count);
    std::memcpy(out.data() + kFrameHeaderBytes + count, b, count);
    return out;
}

void RunAcquisition(const LoopSettings &settings, Controls &controls, const Sink &sink) {
    auto record = std::make_unique<OutPutData>();
    LoopState state;
    Screen screen(settings.mode);
    screen.Sync(controls);
    if (settings.dialog) {
        SetDLLBehaviour(1);
    }
    Open(state);
    ReportStatus(settings, controls, state, screen, sink);
    auto next = Clock::now();
    while (!controls.quit) {
        Step(settings, controls, *record, state, screen, sink);
        ReportStatus(settings, controls, state, screen, sink);
        ReportMeasurements(settings, screen, state, sink);
        next += kReadPeriod;
        const auto now = Clock::now();
        if (next < now) { // fell behind (a slow read): start the periods afresh
            next = now;
        }
        std::this_thread::sleep_until(next);
    }
    USBFlushBuffer(); // nothing is left pending when the program ends
}

} // namespace zqlscope::live
