// Replaying a session trace: the recorded transfers, opens and dialog
// answers, matched in order with those of the running session.
#include "virtual_instrument/replay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/control_requests.h"
#include "trace_reader/trace_reader.h"
#include "virtual_instrument/instrument.h"

namespace vi {

const char kReplayVariable[] = "ZQLUSB_VIRTUAL_REPLAY";

namespace {

// Bytes shown in full in a report; longer ones are shown around their first
// difference.
constexpr std::size_t kShownInFull = 64;
constexpr std::size_t kShownBefore = 16;
constexpr std::size_t kShownAfter = 48;
constexpr std::uint32_t kInvalidHandle = 0xFFFFFFFF; // INVALID_HANDLE_VALUE as the trace keeps it

const char *RequestName(std::uint32_t code) {
    switch (code) {
    case zqlusb::IOCTL_SCOPE_WRITE_STREAM:
        return "stream write";
    case zqlusb::IOCTL_SCOPE_WRITE_RAW:
        return "raw write";
    case zqlusb::IOCTL_SCOPE_READ:
        return "read";
    case zqlusb::IOCTL_SCOPE_READY:
        return "ready probe";
    default:
        return "unknown request";
    }
}

bool IsWrite(std::uint32_t code) {
    return code == zqlusb::IOCTL_SCOPE_WRITE_STREAM || code == zqlusb::IOCTL_SCOPE_WRITE_RAW;
}

std::string Describe(std::uint32_t code, std::uint32_t inLength, std::uint32_t outLength) {
    return std::string(RequestName(code)) + " (in " + std::to_string(inLength) + ", out " + std::to_string(outLength) +
           ")";
}

std::vector<std::uint8_t> Copy(std::optional<zqltrace::ByteSpan> bytes, std::size_t skip = 0) {
    if (!bytes || bytes->size() < skip) {
        return {};
    }
    return std::vector<std::uint8_t>(bytes->begin() + static_cast<std::ptrdiff_t>(skip), bytes->end());
}

// A DeviceIoControl record as a recorded transfer; false when its arguments
// are missing.
bool FromRecord(const zqltrace::Record &r, Replay::Recorded *t) {
    const std::vector<std::uint64_t> args = zqltrace::ArgumentValues(r);
    if (args.size() != 4) {
        return false;
    }
    t->number = r.number;
    t->code = static_cast<std::uint32_t>(args[1]);
    t->inLength = static_cast<std::uint32_t>(args[2]);
    t->outLength = static_cast<std::uint32_t>(args[3]);
    if (IsWrite(t->code)) {
        t->in = Copy(zqltrace::FindField(r, zqltrace::kBytesRead));
    } else {
        t->out = Copy(zqltrace::FindField(r, zqltrace::kBytesChanged), 4);
    }
    t->returned = zqltrace::U32Field(r, zqltrace::kReturnedLength).value_or(0);
    t->ok = r.result != 0;
    return true;
}

} // namespace

std::string HexAround(const std::uint8_t *bytes, std::size_t length, const std::uint8_t *other,
                      std::size_t otherLength) {
    std::size_t first = 0;
    if (length > kShownInFull) {
        const std::size_t common = std::min(length, otherLength);
        const std::size_t differ = static_cast<std::size_t>(std::mismatch(bytes, bytes + common, other).first - bytes);
        first = differ > kShownBefore ? differ - kShownBefore : 0;
    }
    const std::size_t last = length > kShownInFull ? std::min(length, first + kShownBefore + kShownAfter) : length;
    std::string text = std::to_string(length) + " bytes" + (length == 0 ? "" : ":");
    if (first > 0) {
        text += " (from byte " + std::to_string(first) + ") ...";
    }
    char hex[4];
    for (std::size_t i = first; i < last; ++i) {
        std::snprintf(hex, sizeof hex, " %02X", bytes[i]);
        text += hex;
    }
    return last < length ? text + " ..." : text;
}

std::shared_ptr<Replay> Replay::FromTrace(const std::vector<std::uint8_t> &bytes, const std::string &name,
                                          std::string *error) {
    auto replay = std::make_shared<Replay>();
    replay->name_ = name;
    zqltrace::Reader reader(bytes);
    for (zqltrace::Record r; reader.Next(&r);) {
        replay->lastNumber_ = r.number;
        if (r.kind != zqltrace::kPlatformCall) {
            continue;
        }
        Recorded t;
        if (r.call == zqltrace::kDeviceIoControl && FromRecord(r, &t)) {
            replay->transfers_.push_back(std::move(t));
        } else if (r.call == zqltrace::kSetupDiEnumDeviceInterfaces) {
            replay->enumerations_.push_back(r.result != 0);
        } else if (r.call == zqltrace::kCreateFileA) {
            replay->opens_.push_back(r.result != kInvalidHandle);
        } else if (r.call == zqltrace::kMessageBoxA) {
            replay->answers_.push_back(static_cast<int>(r.result));
        }
    }
    const bool readable =
        reader.ending() == zqltrace::Ending::kClosed || reader.ending() == zqltrace::Ending::kNotClosed;
    if (!readable && reader.recordsRead() == 0) {
        *error = reader.problem();
        return nullptr;
    }
    if (!readable) {
        std::fprintf(stderr, "zqlusb virtual instrument: replay of %s: %s The records before it are replayed.\n",
                     name.c_str(), reader.problem().c_str());
    }
    return replay;
}

void Replay::Diverge(const std::string &what) {
    if (!divergence_.empty()) {
        return;
    }
    divergence_ = "replay of " + name_ + " diverges at " + what;
    std::fprintf(stderr, "zqlusb virtual instrument: %s\n", divergence_.c_str());
}

bool Replay::Transfer(std::uint32_t code, const std::uint8_t *in, std::uint32_t inLength, std::uint8_t *area,
                      std::uint32_t outLength, std::uint32_t *returned) {
    const bool write = IsWrite(code);
    delivered_ = 0;
    const std::uint8_t *written = write && in != nullptr ? in : nullptr;
    const std::uint32_t writtenLength = written != nullptr ? inLength : 0;
    if (next_ == transfers_.size()) {
        Diverge("the end of the trace (after record " + std::to_string(lastNumber_) + "): the session makes a " +
                Describe(code, inLength, outLength) +
                (write ? " of " + HexAround(written, writtenLength, nullptr, 0) : std::string()) +
                ", but the trace has no more transfers");
        *returned = 0;
        return false;
    }
    const Recorded &t = transfers_[next_++];
    // Only writes carry bytes to compare; a read's buffer is the receive area.
    auto shown = [](std::uint32_t request, const std::uint8_t *bytes, std::size_t length, const std::uint8_t *other,
                    std::size_t otherLength) {
        return IsWrite(request) ? " " + HexAround(bytes, length, other, otherLength) : std::string();
    };
    const bool sameBytes = !write || (t.in.size() == writtenLength &&
                                      (writtenLength == 0 || std::memcmp(t.in.data(), written, writtenLength) == 0));
    if (t.code != code || t.inLength != inLength || t.outLength != outLength || !sameBytes) {
        const std::uint8_t *recorded = t.in.empty() ? nullptr : t.in.data();
        Diverge("record " + std::to_string(t.number) + ": recorded " + Describe(t.code, t.inLength, t.outLength) +
                shown(t.code, recorded, t.in.size(), written, writtenLength) + "; actual " +
                Describe(code, inLength, outLength) + shown(code, written, writtenLength, recorded, t.in.size()));
    }
    if (code == zqlusb::IOCTL_SCOPE_READ && area != nullptr && !t.out.empty()) {
        delivered_ = static_cast<std::uint32_t>(std::min<std::size_t>(outLength, t.out.size()));
        std::memcpy(area, t.out.data(), delivered_);
    }
    *returned = t.returned;
    return t.ok;
}

bool ReplayTransfer(Instrument &device, std::uint32_t code, const std::uint8_t *in, std::uint32_t inLength,
                    std::uint8_t *area, std::uint32_t outLength, std::uint32_t *returned) {
    Transfer t{code, {}, inLength, outLength, false, 0};
    t.ok = device.replay->Transfer(code, in, inLength, area, outLength, returned);
    t.returned = *returned;
    device.lastDelivered = device.replay->delivered();
    if (in != nullptr && IsWrite(code)) {
        t.bytes.assign(in, in + inLength);
    } else if (area != nullptr && t.ok) {
        t.bytes.assign(area, area + std::min(*returned, outLength));
    }
    device.Log(t);
    const std::string &divergence = device.replay->divergence();
    if (!divergence.empty() && (device.events.empty() || device.events.back() != divergence)) {
        device.events.push_back(divergence);
    }
    return t.ok;
}

namespace {
bool TakeOutcome(std::deque<bool> &outcomes) {
    if (outcomes.empty()) {
        return true;
    }
    const bool ok = outcomes.front();
    outcomes.pop_front();
    return ok;
}
} // namespace

bool Replay::NextEnumerationFinds() {
    return TakeOutcome(enumerations_);
}

bool Replay::NextOpenSucceeds() {
    return TakeOutcome(opens_);
}

std::optional<int> Replay::NextDialogAnswer() {
    if (answers_.empty()) {
        return std::nullopt;
    }
    const int answer = answers_.front();
    answers_.pop_front();
    return answer;
}

void ApplyReplayFromEnvironment(Instrument &device) {
    const char *path = std::getenv(kReplayVariable);
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::vector<std::uint8_t> bytes;
    std::string error;
    if (zqltrace::ReadFile(path, &bytes, &error)) {
        device.replay = Replay::FromTrace(bytes, path, &error);
    }
    if (!device.replay) {
        // Answering from the models instead would pass for the recorded session.
        if (!error.empty() && error.back() == '.') {
            error.pop_back();
        }
        std::fprintf(stderr, "zqlusb virtual instrument: %s=%s cannot be replayed (%s); the instrument is detached.\n",
                     kReplayVariable, path, error.c_str());
        device.Detach();
    }
}

} // namespace vi
