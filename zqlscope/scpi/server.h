// The SCPI-RAW server: program lines over TCP, one per line feed, answers
// ended by a line feed. One client at a time: another that connects meanwhile
// is told so in one line and closed, and the first keeps its session. Lines
// longer than the limit are dropped as they arrive; a line is read only once
// the reply to the one before has been sent, so that a client that sends
// without reading is held back by TCP instead of filling memory. A client
// that goes away mid-reply only ends its session.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zqlscope::scpi {

// Long enough for hundreds of commands in one line.
constexpr std::size_t kMaxLineBytes = 8192;

struct ServerSettings {
    std::string address = "127.0.0.1";
    unsigned short port = 5025;
    // Clients besides this machine's own (by name or address).
    std::vector<std::string> allow;
};

struct LineHandler {
    std::function<std::string(std::string_view line)> execute; // the reply, or empty
    std::function<void(std::size_t limit)> overlong;            // a line over kMaxLineBytes was dropped
};

class Server {
  public:
    explicit Server(LineHandler handler);
    ~Server();
    // Binds and listens; throws std::invalid_argument for a malformed
    // address or name, std::runtime_error when the port cannot be had.
    void Start(const ServerSettings &settings);
    // "TCPIP::127.0.0.1::5025::SOCKET": the VISA resource of the server.
    std::string Resource() const;
    unsigned short Port() const;
    // Serves until SIGINT or SIGTERM (Ctrl-C), or Stop.
    void Run();
    void Stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zqlscope::scpi
