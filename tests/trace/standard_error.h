// Standard error caught in a file for the span of a test, where the trace
// library writes what it tells the user: natively file descriptor 2, on
// Windows the process's standard error handle.
#pragma once

#include <string>

namespace tracetest {

class CaughtStandardError {
  public:
    explicit CaughtStandardError(const std::string &file);
    ~CaughtStandardError();
    CaughtStandardError(const CaughtStandardError &) = delete;
    CaughtStandardError &operator=(const CaughtStandardError &) = delete;
    // Puts standard error back and returns what was written meanwhile.
    std::string Text();

  private:
    std::string file_;
    bool restored_ = false;
#if defined(_WIN32)
    void *saved_ = nullptr;
    void *caught_ = nullptr;
#else
    int saved_ = -1;
#endif
    void Restore();
};

} // namespace tracetest
