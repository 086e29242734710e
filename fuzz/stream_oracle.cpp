#include "fuzz/stream_oracle.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/control_requests.h"

namespace fuzz {
namespace {
constexpr std::size_t kBufferFull = 16384; // an append that reaches this flushes
constexpr int kCancelAnswer = 2;           // IDCANCEL, when no answer was scripted
} // namespace

void Finding(const std::string &what) {
    std::fprintf(stderr, "FINDING: %s\n", what.c_str());
    std::abort();
}

StreamOracle::StreamOracle(vi::Instrument &device) : device_(device) {}

void StreamOracle::Append(const Pattern &command) {
    pending_.insert(pending_.end(), command.begin(), command.end());
}

void StreamOracle::AppendChecked(const Pattern &command) {
    Append(command);
    if (pending_.size() >= kBufferFull) {
        Flush();
    }
}

void StreamOracle::Flush() {
    if (!pending_.empty()) {
        ExpectWrite(zqlusb::IOCTL_SCOPE_WRITE_STREAM, pending_);
        pending_.clear();
    }
}

bool StreamOracle::ReadRequest(const Pattern &request) {
    if (pending_.size() % 4 != 0) {
        Append({0x00, 0x00});
    }
    Append(request);
    Flush();
    return !link_.linkFailed;
}

void StreamOracle::WriteRaw(const Bytes &bytes) {
    ExpectWrite(zqlusb::IOCTL_SCOPE_WRITE_RAW, Pattern(bytes.begin(), bytes.end()));
}

const vi::Transfer &StreamOracle::Next(const char *what) {
    if (cursor_ >= device_.transfers.size()) {
        Finding(std::string("missing transfer: ") + what);
    }
    return device_.transfers[cursor_++];
}

void StreamOracle::ExpectWrite(std::uint32_t code, const Pattern &bytes) {
    bool again = true;
    while (again) {
        const vi::Transfer &t = Next("write");
        if (t.code != code || t.bytes.size() != bytes.size()) {
            Finding("write of " + std::to_string(t.bytes.size()) + " bytes, code " + std::to_string(t.code) +
                    "; expected " + std::to_string(bytes.size()) + " bytes, code " + std::to_string(code));
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (bytes[i] != kAny && t.bytes[i] != bytes[i]) {
                Finding("write differs at byte " + std::to_string(i));
            }
        }
        again = reference::AfterWrite(link_, t.ok, [this] { return DialogAnswer(); });
    }
}

// The dialog the outcome table asks for: shown by the library, in turn, and
// answered as scripted.
int StreamOracle::DialogAnswer() {
    if (dialogs_ >= device_.dialogs.size()) {
        Finding("the retry dialog was not shown");
    }
    const int answer = answers_.empty() ? kCancelAnswer : answers_.front();
    if (!answers_.empty()) {
        answers_.pop_front();
    }
    if (device_.dialogs[dialogs_++].answer != answer) {
        Finding("dialog answered out of turn");
    }
    return answer;
}

Bytes StreamOracle::Read(std::uint32_t length, bool *ok, std::uint32_t *reported) {
    const vi::Transfer &t = Next("read");
    if (t.code != zqlusb::IOCTL_SCOPE_READ || t.inLength != length || t.outLength != length) {
        Finding("read transfer of " + std::to_string(t.inLength) + " bytes; expected " + std::to_string(length));
    }
    if (ok != nullptr) {
        *ok = t.ok;
    }
    if (reported != nullptr) {
        *reported = t.returned;
    }
    return t.bytes;
}

bool StreamOracle::Ready() {
    const vi::Transfer &t = Next("ready");
    if (t.code != zqlusb::IOCTL_SCOPE_READY) {
        Finding("expected a ready request");
    }
    return t.ok;
}

void StreamOracle::Settle() {
    if (cursor_ != device_.transfers.size()) {
        Finding("unexpected transfer " + std::to_string(cursor_) + " of " + std::to_string(device_.transfers.size()));
    }
    if (dialogs_ != device_.dialogs.size()) {
        Finding("a retry dialog was shown where none was due");
    }
    if (!device_.errors.calls.empty()) {
        Finding("Win32 call refused: " + device_.errors.calls.front());
    }
}

} // namespace fuzz
