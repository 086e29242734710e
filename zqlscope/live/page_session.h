// A page's WebSocket: frames and status out to the page, its commands in.
#pragma once

#include "server_shared.h"

namespace zqlscope::live {

// Takes over the socket of an upgrade request that passed the checks and
// completes the WebSocket handshake; the page then joins Shared::pages.
void OpenPage(tcp::socket socket, Shared &shared, const Request &req);

// Queues a message for the page; when it is behind, the oldest waiting goes.
void SendToPage(PageSession &page, const MessagePtr &message);

} // namespace zqlscope::live
