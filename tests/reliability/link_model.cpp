#include "reliability/link_model.h"

namespace testbed {
namespace {
constexpr int kRetryAnswer = 4; // IDRETRY; every other answer cancels
} // namespace

bool LinkModel::Again(bool ok) {
    if (!dialogMode_) {
        linkFailed = !ok;
        return false;
    }
    if (ok) {
        linkFailed = false;
        silentReconnects_ = 0;
        return false;
    }
    if (silentReconnects_ == 0) {
        open = true;
        linkFailed = false;
        ++silentReconnects_;
        return true;
    }
    if (!linkFailed) {
        ++dialogs;
        int answer = answers_.empty() ? 0 : answers_.front();
        if (!answers_.empty()) {
            answers_.pop_front();
        }
        open = answer == kRetryAnswer;
        linkFailed = !open;
        return open;
    }
    open = false;
    return false;
}

bool LinkModel::Write(std::uint32_t code, const std::vector<int> &bytes) {
    bool ok = false;
    do {
        // A closed handle fails without reaching the instrument's attempt count.
        ok = open && failing_.count(attempt_) == 0;
        attempt_ += open ? 1 : 0;
        transfers.push_back({code, bytes, static_cast<std::uint32_t>(bytes.size()), ok});
    } while (Again(ok));
    return ok;
}

bool LinkModel::Read(std::uint32_t code, std::uint32_t length, bool always) {
    if (!always && linkFailed) {
        return false;
    }
    transfers.push_back({code, {}, length, open && !linkFailed});
    return true;
}

} // namespace testbed
