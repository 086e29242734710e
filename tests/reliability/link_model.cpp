#include "reliability/link_model.h"

#include "support/library.h"

namespace testbed {

namespace {
// Whether the instrument's log shows a transfer made in this link state.
bool Seen(const reference::LinkState &link) {
    return link.open || kTransfersWithoutHandleLogged;
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
