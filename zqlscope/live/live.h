// zqlscope live: the instrument's acquisition loop and the server that
// streams its blocks to scope pages in a browser. The two halves meet only
// here: the loop hands frames and status messages to a sink, and the server
// hands the pages' commands to the loop's controls.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "signal/trigger.h"
#include "signal/units.h"

namespace zqlscope::live {

enum class Mode { Roll, Capture };

// One message to every page: a binary frame of channel bytes, or a text
// message (JSON) on a topic, "status" or "measure"; a page that connects is
// sent the last of each topic. Shared, never copied, between the pages.
struct Message {
    bool binary = false;
    std::string bytes;
    std::string topic;
};
using MessagePtr = std::shared_ptr<const Message>;
using Sink = std::function<void(MessagePtr)>;

// The screen the pages ask for: the trigger (mode off: none) and the points
// across the screen's ten divisions, which is the length of a triggered
// frame and of the frame measured.
struct ScreenSettings {
    signal::TriggerSettings trigger;
    std::size_t frameLength = 1000;
};

// Points of a frame at most: the longest screen the page offers.
constexpr std::size_t kMaxFrameLength = 20000;

// What the pages may ask of the loop; set from the server's thread, read by
// the loop's.
struct Controls {
    std::atomic<bool> running{true};
    std::atomic<bool> reconnect{false};
    std::atomic<bool> quit{false};
    std::atomic<bool> rearm{false}; // single mode: wait for the next trigger again
    std::mutex mutex;               // guards the two below
    ScreenSettings screen;
    std::uint64_t screenVersion = 0; // counts the changes of `screen`
};

// Applies a page's command: "run", "stop", "reconnect", "rearm",
// "frame N" (points across the screen) or "trigger MODE SOURCE SLOPE LEVEL
// POSITION HOLDOFF" ("trigger normal a rising 128 50 0"). False, changing
// nothing, for anything else.
bool ApplyPageCommand(Controls &controls, std::string_view command);

struct LoopSettings {
    Mode mode = Mode::Roll;
    long count = 1000;   // points of each capture record
    bool dialog = false; // the library's retry dialog on (SetDLLBehaviour)
    signal::Units units; // for the measurements' table and the page's axes
};

// What a binary frame holds: a roll block to append to the screen, a whole
// capture record, or a whole screen placed by the trigger.
enum class FrameKind : std::uint8_t { RollBlock = 0, Record = 1, Screen = 2 };

// The binary frame: a 24-byte little-endian header, then the channel A
// bytes, then as many channel B bytes.
//   0  format (kFrameFormat)    1  kind (FrameKind)
//   2  flags (bit 0: the instrument marked the roll block invalid)
//   3  trigger state (signal::TriggerState: 0 off, 1 Trig'd, 2 Auto,
//      3 Waiting, 4 Stopped)     4  sequence number, u32
//   8  read time, f64 milliseconds since 1970 (the moment the read returned)
//   16 point count n, u32
//   20 index of the trigger point in the frame, i32; -1 for none
constexpr std::uint8_t kFrameFormat = 2;
constexpr std::size_t kFrameHeaderBytes = 24;
struct FrameHeader {
    FrameKind kind = FrameKind::RollBlock;
    bool invalid = false;
    signal::TriggerState state = signal::TriggerState::Off;
    std::uint32_t sequence = 0;
    double readTimeMs = 0;
    std::int32_t triggerIndex = -1;
};
std::string EncodeFrame(const FrameHeader &header, const std::uint8_t *a, const std::uint8_t *b, std::uint32_t count);

// Reads the instrument until controls.quit: opens it, reads a block or a
// record per period while running, sends each as a frame and the state as a
// status message, and reopens it (now when asked, else every few seconds)
// while it is absent. Runs on its own thread; the only caller of the library.
void RunAcquisition(const LoopSettings &settings, Controls &controls, const Sink &sink);

// The "measure" message of a frame: each channel's rows as the command
// line's table shows them, and the note on the units.
std::string MeasureJson(const std::vector<std::uint8_t> &a, const std::vector<std::uint8_t> &b,
                        const signal::Units &units);
// The units as the page needs them for its axes and cursors (JSON object).
std::string UnitsJson(const signal::Units &units);

// Where the server listens and which host names it answers to besides its
// own (see access.h).
struct ServerSettings {
    std::string address = "127.0.0.1";
    unsigned short port = 0;
    std::vector<std::string> allowHosts;
};

// The HTTP and WebSocket server. Start binds and listens (throws
// std::runtime_error with a sentence when it cannot); Url is the page's
// address with the key of this start; Run serves until
// SIGINT/SIGTERM or Stop. Messages given to Broadcast go to every page that
// is connected, dropping the oldest a page has not taken yet when it falls
// behind.
class Server {
  public:
    Server(Controls &controls);
    ~Server();
    void Start(const ServerSettings &settings);
    std::string Url() const;
    void Broadcast(MessagePtr message); // from any thread
    void Run();
    void Stop(); // from any thread

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The page's files, embedded at build time: page.html, page.css, page.js and
// the script's modules.
struct Asset {
    const char *path; // "/page.js"
    const char *contentType;
    const char *bytes;
    std::size_t size;
};
extern const Asset kAssets[];
extern const std::size_t kAssetCount;

} // namespace zqlscope::live
