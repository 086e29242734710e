#include "console.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace zqlscope {

namespace {

std::atomic<bool> interrupted{false};

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

#ifdef _WIN32
BOOL WINAPI OnControl(DWORD event) {
    if ((event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) || interrupted.load()) {
        return FALSE; // the default handler ends the program
    }
    interrupted.store(true);
    return TRUE;
}
#else
extern "C" void OnInterrupt(int) {
    interrupted.store(true);
    std::signal(SIGINT, SIG_DFL);
}
#endif

} // namespace

Progress::Progress(bool enabled) : enabled_(enabled && StderrIsTerminal()) {}

void Progress::Show(const std::string &text) {
    if (!enabled_) {
        return;
    }
    std::cerr << '\r' << text;
    if (text.size() < shown_) {
        std::cerr << std::string(shown_ - text.size(), ' ') << '\r' << text;
    }
    std::cerr << std::flush;
    shown_ = text.size();
}

void Progress::Clear() {
    if (enabled_ && shown_ != 0) {
        std::cerr << '\r' << std::string(shown_, ' ') << '\r' << std::flush;
        shown_ = 0;
    }
}

InterruptGuard::InterruptGuard() {
    interrupted.store(false);
#ifdef _WIN32
    SetConsoleCtrlHandler(OnControl, TRUE);
#else
    std::signal(SIGINT, OnInterrupt);
#endif
}

InterruptGuard::~InterruptGuard() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnControl, FALSE);
#else
    std::signal(SIGINT, SIG_DFL);
#endif
}

bool Interrupted() {
    return interrupted.load();
}

} // namespace zqlscope
