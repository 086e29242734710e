// A page's WebSocket session: the handshake, the page's commands read and
// applied to the controls, and the frames and status sent to it through a
// short queue that drops the oldest message when the page falls behind.
#include <deque>

#include <boost/beast/websocket.hpp>

#include "page_session.h"

namespace zqlscope::live {

namespace websocket = beast::websocket;

namespace {

// The page's commands are a word or a short line ("stop", "frame 1000").
constexpr std::size_t kMaxPageMessageBytes = 256;
// Messages waiting for one page: a few frames' worth; older ones are dropped.
constexpr std::size_t kMaxQueuedMessages = 4;
// A page that answers no ping for this long is closed (a browser answers
// pings by itself; a client that stops reading does not).
constexpr auto kPageIdleTimeout = std::chrono::seconds(20);

} // namespace

class PageSession : public std::enable_shared_from_this<PageSession> {
  public:
    PageSession(tcp::socket socket, Shared &shared) : ws_(std::move(socket)), shared_(shared), count_(shared) {}
    ~PageSession() { shared_.pages.erase(this); }

    void Accept(const Request &req) {
        websocket::stream_base::timeout timeout{kRequestTimeout, kPageIdleTimeout, true};
        ws_.set_option(timeout);
        ws_.read_message_max(kMaxPageMessageBytes);
        // Each frame goes out as it comes: small messages are not held back
        // for the acknowledgement of the previous one.
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
        ws_.set_option(websocket::stream_base::decorator(
            [host = std::string(View(req[http::field::host]))](websocket::response_type &res) {
                res.set(http::field::server, kServerName);
                SetSecurityHeaders(res, host, true);
            }));
        ws_.async_accept(req, [self = shared_from_this()](error_code ec) { self->OnAccept(ec); });
    }

    // Queues a message; when the page is behind, the oldest waiting one goes.
    void Send(const MessagePtr &message) {
        if (queue_.size() >= kMaxQueuedMessages) {
            queue_.pop_front();
        }
        queue_.push_back(message);
        if (!inFlight_) {
            WriteNext();
        }
    }

  private:
    void OnAccept(const error_code &ec) {
        if (ec) {
            return;
        }
        shared_.pages.insert(this);
        for (const MessagePtr &last : {shared_.lastStatus, shared_.lastMeasure}) {
            if (last) {
                Send(last);
            }
        }
        Read();
    }

    void Read() {
        ws_.async_read(buffer_, [self = shared_from_this()](error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(const error_code &ec) {
        if (ec) { // closed, timed out or a message over the limit: forget the page
            shared_.pages.erase(this);
            return;
        }
        const std::string command = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        ApplyPageCommand(shared_.controls, command); // an unknown command changes nothing
        Read();
    }

    void WriteNext() {
        inFlight_ = queue_.front();
        queue_.pop_front();
        ws_.binary(inFlight_->binary);
        ws_.async_write(asio::buffer(inFlight_->bytes),
                        [self = shared_from_this()](error_code ec, std::size_t) { self->OnWrite(ec); });
    }

    void OnWrite(const error_code &ec) {
        inFlight_.reset();
        if (ec) {
            shared_.pages.erase(this);
            queue_.clear();
            return;
        }
        if (!queue_.empty()) {
            WriteNext();
        }
    }

    websocket::stream<beast::tcp_stream> ws_;
    Shared &shared_;
    ConnectionCount count_;
    beast::flat_buffer buffer_;
    std::deque<MessagePtr> queue_;
    MessagePtr inFlight_; // held until its write completes
};

void OpenPage(tcp::socket socket, Shared &shared, const Request &req) {
    std::make_shared<PageSession>(std::move(socket), shared)->Accept(req);
}

void SendToPage(PageSession &page, const MessagePtr &message) {
    page.Send(message);
}

} // namespace zqlscope::live
