// One accepted connection's HTTP exchange: requests checked and answered
// until the connection closes or is handed to a page's WebSocket.
#pragma once

#include "server_shared.h"

namespace zqlscope::live {

// Serves the connection: over the connection limit it gets 503 at once.
void StartHttpSession(tcp::socket socket, Shared &shared);

} // namespace zqlscope::live
