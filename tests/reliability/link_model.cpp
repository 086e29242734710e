#include "reliability/link_model.h"

#include "support/library.h"

namespace testbed {

namespace {
// A transfer on a closed handle reaches the instrument's log only where the
// stand-in plays the platform: through the driver the kernel refuses the
// handle before any request is made.
bool Seen(const reference::LinkState &link) {
    return link.open || !kThroughDriver;
}
} // namespace

int LinkModel::Answer() {
    ++dialogs;
    if (answers_.empty()) {
        return 0;
    }
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

bool LinkModel::Write(std::uint32_t code, const std::vector<int> &bytes) {
    bool ok = false;
    do {
        // A closed handle fails without reaching the instrument's attempt count.
        ok = link.open && failing_.count(attempt_) == 0;
        attempt_ += link.open ? 1 : 0;
        if (Seen(link)) {
            transfers.push_back({code, bytes, static_cast<std::uint32_t>(bytes.size()), ok});
        }
    } while (reference::AfterWrite(link, ok, [this] { return Answer(); }));
    return ok;
}

bool LinkModel::Read(std::uint32_t code, std::uint32_t length, bool always) {
    if (!always && link.linkFailed) {
        return false;
    }
    if (Seen(link)) {
        transfers.push_back({code, {}, length, link.open && !link.linkFailed});
    }
    return true;
}

} // namespace testbed
