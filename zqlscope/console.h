// The terminal side of long runs: a progress line on standard error that is
// shown only on a terminal and cleared before other output, and Ctrl-C
// turned into a request to stop after the current step.
#pragma once

#include <string>

namespace zqlscope {

// One progress line, rewritten in place. Shows nothing unless enabled and
// standard error is a terminal.
class Progress {
  public:
    explicit Progress(bool enabled);
    ~Progress() { Clear(); }
    void Show(const std::string &text);
    void Clear(); // blanks the line, leaving the cursor at its start
  private:
    bool enabled_;
    std::size_t shown_ = 0; // characters on the line now
};

// While one exists, Ctrl-C (SIGINT; the console control handler on Windows)
// only sets the flag that Interrupted() reports; a second Ctrl-C ends the
// program as usual.
class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;
};
bool Interrupted();

} // namespace zqlscope
