#include "scpi/machine.h"

namespace zqlscope::scpi {

namespace {

// Splits a table header into its nodes ("WAVeform:DATA": two).
std::vector<std::string_view> PatternNodes(std::string_view header) {
    std::vector<std::string_view> nodes;
    std::size_t start = 0;
    while (start <= header.size()) {
        const std::size_t colon = std::min(header.find(':', start), header.size());
        nodes.push_back(header.substr(start, colon - start));
        start = colon + 1;
    }
    return nodes;
}

std::string Written(const ProgramUnit &unit) {
    std::string text = unit.common ? "*" : ":";
    for (std::size_t i = 0; i < unit.nodes.size(); ++i) {
        text += (i ? ":" : "") + unit.nodes[i];
    }
    return text + (unit.query ? "?" : "");
}

// The instrument has two channels; every numbered node names one.
constexpr int kChannels = 2;

} // namespace

Status Find(const ProgramUnit &unit, Call &call) {
    bool suffixOutOfRange = false;
    for (const Entry &entry : CommandTable()) {
        const bool common = entry.header.front() == '*';
        if (common != unit.common || entry.query != unit.query) {
            continue;
        }
        const auto pattern = PatternNodes(common ? entry.header.substr(1) : entry.header);
        if (pattern.size() != unit.nodes.size()) {
            continue;
        }
        std::vector<int> suffixes;
        bool match = true;
        for (std::size_t i = 0; i < pattern.size() && match; ++i) {
            const auto suffix = MatchNode(pattern[i], unit.nodes[i]);
            match = suffix.has_value();
            if (match && pattern[i].back() == '#') {
                suffixes.push_back(*suffix);
            }
        }
        if (!match) {
            continue;
        }
        for (int s : suffixes) {
            if (s < 1 || s > kChannels) {
                suffixOutOfRange = true;
                match = false;
            }
        }
        if (match) {
            call.entry = &entry;
            call.suffixes = std::move(suffixes);
            call.params = unit.params;
            return Ok();
        }
    }
    if (suffixOutOfRange) {
        return Status{code::kHeaderSuffixOutOfRange, Written(unit) + " (channels 1 and 2)"};
    }
    return Status{code::kUndefinedHeader, Written(unit)};
}

void Machine::Push(Error error) {
    esr_ |= EventBit(error.code);
    errors_.Push(std::move(error));
}

void Machine::Overlong(std::size_t limit) {
    Push(Error{code::kInputBufferOverrun, "a line over " + std::to_string(limit) + " bytes, dropped"});
}

std::uint8_t Machine::StatusByte() const {
    constexpr std::uint8_t kErrorAvailable = 1 << 2; // the error queue holds an entry
    constexpr std::uint8_t kEventSummary = 1 << 5;   // an enabled event status bit is set
    constexpr std::uint8_t kServiceRequest = 1 << 6; // any summary bit
    std::uint8_t stb = errors_.Empty() ? 0 : kErrorAvailable;
    stb |= (esr_ & ese_) != 0 ? kEventSummary : 0;
    return stb != 0 ? static_cast<std::uint8_t>(stb | kServiceRequest) : stb;
}

void Machine::Reset() {
    settings_ = Settings{};
    data_.reset();
    running_ = true;
}

std::string Machine::Execute(std::string_view line) {
    const ParsedLine parsed = ParseLine(line);
    if (parsed.error) {
        Push(*parsed.error);
        return "";
    }
    // First pass: find and check every command on a copy of the settings.
    std::vector<Call> calls(parsed.units.size());
    Settings checked = settings_;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        Status s = Find(parsed.units[i], calls[i]);
        if (!Failed(s)) {
            s = calls[i].entry->prepare(checked, calls[i]);
        }
        if (Failed(s)) {
            Push(std::move(s));
            return "";
        }
    }
    // Second pass: the same on the real settings, and the instrument.
    std::string reply;
    bool answered = false;
    for (const Call &call : calls) {
        call.entry->prepare(settings_, call);
        if (call.entry->run == nullptr) {
            continue;
        }
        std::string answer;
        const Status s = call.entry->run(*this, call, answer);
        if (Failed(s)) { // the rest of the line would act on a state it did not expect
            Push(s);
            break;
        }
        if (call.entry->query) {
            reply += (answered ? ";" : "") + answer;
            answered = true;
        }
        if (reply.size() > kMaxReplyBytes) {
            Push(Error{code::kTooMuchData, "a line's reply over " + std::to_string(kMaxReplyBytes) + " bytes"});
            return "";
        }
    }
    return answered ? reply + "\n" : "";
}

} // namespace zqlscope::scpi
