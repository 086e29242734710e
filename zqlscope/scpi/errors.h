// The SCPI error queue and the event status register it feeds. Each error
// is a standard code with its standard text, and a short detail after a
// semicolon that says what was wrong ("-113,\"Undefined header; FOO\"").
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace zqlscope::scpi {

// The codes the server reports, with the standard texts in ErrorText.
namespace code {
constexpr int kNoError = 0;
constexpr int kCommandError = -100;
constexpr int kInvalidCharacter = -101;
constexpr int kSyntaxError = -102;
constexpr int kDataTypeError = -104;
constexpr int kParameterNotAllowed = -108;
constexpr int kMissingParameter = -109;
constexpr int kUndefinedHeader = -113;
constexpr int kHeaderSuffixOutOfRange = -114;
constexpr int kExecutionError = -200;
constexpr int kDataOutOfRange = -222;
constexpr int kTooMuchData = -223;
constexpr int kIllegalParameterValue = -224;
constexpr int kDataStale = -230;
constexpr int kHardwareError = -240;
constexpr int kQueueOverflow = -350;
constexpr int kInputBufferOverrun = -363;
} // namespace code

// The standard text of a code ("Undefined header").
std::string_view ErrorText(int code);

struct Error {
    int code = code::kNoError;
    std::string detail; // empty, or what was wrong
};

// "-113,\"Undefined header; FOO\"", with any quote in the detail doubled.
std::string Format(const Error &error);

// Bits of the standard event status register.
namespace esr {
constexpr std::uint8_t kOperationComplete = 1 << 0;
constexpr std::uint8_t kQueryError = 1 << 2;
constexpr std::uint8_t kDeviceError = 1 << 3;
constexpr std::uint8_t kExecutionError = 1 << 4;
constexpr std::uint8_t kCommandError = 1 << 5;
} // namespace esr

// The event status bit an error sets: command errors (-1xx), execution
// errors (-2xx), device errors (-3xx) and query errors (-4xx).
std::uint8_t EventBit(int code);

// First in, first out. When full, the newest entry is replaced by
// -350 "Queue overflow" and later errors are dropped until one is read.
class ErrorQueue {
  public:
    // Enough for every error of a long line; more means nobody reads them.
    static constexpr std::size_t kCapacity = 20;

    void Push(Error error);
    // The oldest error, or 0,"No error" when there is none.
    Error Pop();
    bool Empty() const { return entries_.empty(); }
    std::size_t Size() const { return entries_.size(); }
    void Clear() { entries_.clear(); }

  private:
    std::deque<Error> entries_;
};

} // namespace zqlscope::scpi
