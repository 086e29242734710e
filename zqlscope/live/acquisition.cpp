// The acquisition loop of zqlscope live: the one thread that calls the
// library. It keeps the link's state (ready, no instrument, link failed),
// reads a roll-mode block or a scope record each period while running, and
// reports frames and status to the server.
#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

#include "live.h"
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

void ReadRoll(OutPutData &record, LoopState &state, const Sink &sink) {
    USBRetrieveRollModeData(&record);
    const double readTime = NowMs();
    const std::uint32_t count =
        std::min<std::uint32_t>(record.TempBufferA[0] | (record.TempBufferA[1] << 8), ZQLUSB_ROLL_MAX_POINTS);
    const bool invalid = record.TempBufferB[0] != 0;
    state.invalidBlocks += invalid ? 1 : 0;
    state.points += count;
    sink(std::make_shared<Message>(Message{true, EncodeFrame(Mode::Roll, invalid, state.sequence++, readTime,
                                                             record.TempBufferA + 2, record.TempBufferB + 2, count)}));
}

void ReadCapture(OutPutData &record, long count, LoopState &state, const Sink &sink) {
    const long header[] = {count, 0, 1}; // DataCount, DataOffset, Step
    for (int i = 0; i < 3; ++i) {
        record.TempBufferA[2 * i] = static_cast<unsigned char>(header[i] & 0xFF);
        record.TempBufferA[2 * i + 1] = static_cast<unsigned char>(header[i] >> 8);
    }
    USBRetrieveScopeData(&record);
    const double readTime = NowMs();
    state.points += static_cast<std::uint64_t>(count);
    sink(std::make_shared<Message>(
        Message{true, EncodeFrame(Mode::Capture, false, state.sequence++, readTime, record.TempBufferA,
                                  record.TempBufferB, static_cast<std::uint32_t>(count))}));
}

std::string StatusJson(const LoopSettings &settings, const Controls &controls, const LoopState &state) {
    std::ostringstream json;
    json << "{\"type\":\"status\",\"link\":\"" << LinkText(state.link)
         << "\",\"running\":" << (controls.running ? "true" : "false") << ",\"mode\":\""
         << (settings.mode == Mode::Roll ? "roll" : "capture") << "\",\"blocks\":" << state.blocks
         << ",\"invalidBlocks\":" << state.invalidBlocks << ",\"points\":" << state.points
         << ",\"opens\":" << state.reconnects << "}";
    return json.str();
}

// Sends the status when the link, run state or mode changed, and with the
// counts once a period.
void ReportStatus(const LoopSettings &settings, const Controls &controls, LoopState &state, const Sink &sink) {
    const std::string key = std::string(LinkText(state.link)) + (controls.running ? "+" : "-");
    const auto now = Clock::now();
    if (key != state.lastStatus || now - state.lastStatusTime >= kStatusPeriod) {
        sink(std::make_shared<Message>(Message{false, StatusJson(settings, controls, state)}));
        state.lastStatus = key;
        state.lastStatusTime = now;
    }
}

// One period's work: reopen when due or asked, else probe and read.
void Step(const LoopSettings &settings, Controls &controls, OutPutData &record, LoopState &state, const Sink &sink) {
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
    if (settings.mode == Mode::Roll) {
        ReadRoll(record, state, sink);
    } else {
        ReadCapture(record, settings.count, state, sink);
    }
    ++state.blocks;
}

} // namespace

std::string EncodeFrame(Mode mode, bool invalid, std::uint32_t sequence, double readTimeMs, const std::uint8_t *a,
                        const std::uint8_t *b, std::uint32_t count) {
    std::string out(kFrameHeaderBytes + 2 * std::size_t{count}, '\0');
    out[0] = static_cast<char>(kFrameFormat);
    out[1] = static_cast<char>(mode == Mode::Roll ? 0 : 1);
    out[2] = static_cast<char>(invalid ? 1 : 0);
    Put32(out, 4, sequence);
    std::uint64_t timeBits = 0;
    static_assert(sizeof timeBits == sizeof readTimeMs);
    std::memcpy(&timeBits, &readTimeMs, sizeof timeBits);
    Put32(out, 8, static_cast<std::uint32_t>(timeBits));
    Put32(out, 12, static_cast<std::uint32_t>(timeBits >> 32));
    Put32(out, 16, count);
    std::memcpy(out.data() + kFrameHeaderBytes, a, count);
    std::memcpy(out.data() + kFrameHeaderBytes + count, b, count);
    return out;
}

void RunAcquisition(const LoopSettings &settings, Controls &controls, const Sink &sink) {
    auto record = std::make_unique<OutPutData>();
    LoopState state;
    if (settings.dialog) {
        SetDLLBehaviour(1);
    }
    Open(state);
    ReportStatus(settings, controls, state, sink);
    auto next = Clock::now();
    while (!controls.quit) {
        Step(settings, controls, *record, state, sink);
        ReportStatus(settings, controls, state, sink);
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
