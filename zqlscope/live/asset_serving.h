// The page's own files as the server hands them out: which file a path
// names, and the answer that carries it.
#pragma once

#include <memory>
#include <string_view>

#include "server_shared.h"

namespace zqlscope::live {

// The embedded file a path names ("/" is the page itself), or null.
const Asset *FindAsset(std::string_view path);

// The answer to a GET or HEAD of the file; a non-empty cookie goes with it.
std::shared_ptr<Response> AssetResponse(const Request &req, const Asset &asset, const std::string &cookie);

} // namespace zqlscope::live
