// The page's own files as the server hands them out: the path to file
// lookup and the answer carrying a file (its body left out for HEAD).
#include "asset_serving.h"

namespace zqlscope::live {

const Asset *FindAsset(std::string_view path) {
    if (path == "/" || path == "/index.html") {
        path = "/page.html";
    }
    for (std::size_t i = 0; i < kAssetCount; ++i) {
        if (path == kAssets[i].path) {
            return &kAssets[i];
        }
    }
    return nullptr;
}

std::shared_ptr<Response> AssetResponse(const Request &req, const Asset &asset, const std::string &cookie) {
    auto res = std::make_shared<Response>(http::status::ok, req.version());
    res->set(http::field::content_type, asset.contentType);
    if (!cookie.empty()) {
        res->set(http::field::set_cookie, cookie);
    }
    res->body().assign(asset.bytes, asset.size);
    res->prepare_payload();
    if (req.method() == http::verb::head) {
        res->body().clear(); // the length stays that of the file
    }
    return res;
}

} // namespace zqlscope::live
