#include "scpi/errors.h"

namespace zqlscope::scpi {

std::string_view ErrorText(int value) {
    switch (value) {
    case code::kNoError: return "No error";
    case code::kCommandError: return "Command error";
    case code::kInvalidCharacter: return "Invalid character";
    case code::kSyntaxError: return "Syntax error";
    case code::kDataTypeError: return "Data type error";
    case code::kParameterNotAllowed: return "Parameter not allowed";
    case code::kMissingParameter: return "Missing parameter";
    case code::kUndefinedHeader: return "Undefined header";
    case code::kHeaderSuffixOutOfRange: return "Header suffix out of range";
    case code::kExecutionError: return "Execution error";
    case code::kDataOutOfRange: return "Data out of range";
    case code::kTooMuchData: return "Too much data";
    case code::kIllegalParameterValue: return "Illegal parameter value";
    case code::kDataStale: return "Data corrupt or stale";
    case code::kHardwareError: return "Hardware error";
    case code::kQueueOverflow: return "Queue overflow";
    case code::kInputBufferOverrun: return "Input buffer overrun";
    default: return "Error";
    }
}

std::string Format(const Error &error) {
    std::string text(ErrorText(error.code));
    if (!error.detail.empty()) {
        text += "; " + error.detail;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return std::to_string(error.code) + "," + quoted + "\"";
}

std::uint8_t EventBit(int value) {
    if (value <= -100 && value > -200) {
        return esr::kCommandError;
    }
    if (value <= -200 && value > -300) {
        return esr::kExecutionError;
    }
    if (value <= -300 && value > -400) {
        return esr::kDeviceError;
    }
    if (value <= -400 && value > -500) {
        return esr::kQueryError;
    }
    return 0;
}

void ErrorQueue::Push(Error error) {
    if (entries_.size() >= kCapacity) {
        return; // already full: its last entry says so
    }
    if (entries_.size() + 1 == kCapacity) {
        error = Error{code::kQueueOverflow, ""};
    }
    entries_.push_back(std::move(error));
}

Error ErrorQueue::Pop() {
    if (entries_.empty()) {
        return Error{};
    }
    Error error = std::move(entries_.front());
    entries_.pop_front();
    return error;
}

} // namespace zqlscope::scpi
