// zqlscope live: the instrument's acquisition loop and the server that
// streams its blocks to scope pages in a browser. The two halves meet only
// here: the loop hands frames and status messages to a sink, and the server
// hands the pages' commands to the loop's controls.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zqlscope::live {

enum class Mode { Roll, Capture };

// One message to every page: a binary frame of channel bytes or a text
// status message. Shared, never copied, between the pages it goes to.
struct Message {
    bool binary = false;
    std::string bytes;
};
using MessagePtr = std::shared_ptr<const Message>;
using Sink = std::function<void(MessagePtr)>;

// What the pages may ask of the loop; set from the server's thread, read by
// the loop's.
struct Controls {
    std::atomic<bool> running{true};
    std::atomic<bool> reconnect{false};
    std::atomic<bool> quit{false};
};

struct LoopSettings {
    Mode mode = Mode::Roll;
    long count = 1000;   // points of each capture record
    bool dialog = false; // the library's retry dialog on (SetDLLBehaviour)
};

// The binary frame: a 20-byte little-endian header, then the channel A
// bytes, then as many channel B bytes.
//   0  format (kFrameFormat)    1  mode (0 roll, 1 capture)
//   2  flags (bit 0: the instrument marked the roll block invalid)
//   3  unused (0)               4  sequence number, u32
//   8  read time, f64 milliseconds since 1970 (the moment the read returned)
//   16 point count n, u32
constexpr std::uint8_t kFrameFormat = 1;
constexpr std::size_t kFrameHeaderBytes = 20;
std::string EncodeFrame(Mode mode, bool invalid, std::uint32_t sequence, double readTimeMs, const std::uint8_t *a,
                        const std::uint8_t *b, std::uint32_t count);

// Reads the instrument until controls.quit: opens it, reads a block or a
// record per period while running, sends each as a frame and the state as a
// status message, and reopens it (now when asked, else every few seconds)
// while it is absent. Runs on its own thread; the only caller of the library.
void RunAcquisition(const LoopSettings &settings, Controls &controls, const Sink &sink);

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

// The page's files, embedded at build time: page.html, page.css, page.js.
struct Asset {
    const char *path; // "/page.js"
    const char *contentType;
    const char *bytes;
    std::size_t size;
};
extern const Asset kAssets[];
extern const std::size_t kAssetCount;

} // namespace zqlscope::live
