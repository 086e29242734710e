#include "trace/standard_error.h"

#include <cstdio>

#include "trace/trace_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tracetest {

CaughtStandardError::CaughtStandardError(const std::string &file) : file_(file) {
    std::fflush(stderr);
#if defined(_WIN32)
    saved_ = GetStdHandle(STD_ERROR_HANDLE);
    caught_ = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    SetStdHandle(STD_ERROR_HANDLE, caught_);
#else
    saved_ = dup(STDERR_FILENO);
    const int caught = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    dup2(caught, STDERR_FILENO);
    close(caught);
#endif
}

CaughtStandardError::~CaughtStandardError() {
    Restore();
    std::remove(file_.c_str());
}

void CaughtStandardError::Restore() {
    if (restored_) {
        return;
    }
    restored_ = true;
    std::fflush(stderr);
#if defined(_WIN32)
    SetStdHandle(STD_ERROR_HANDLE, saved_);
    CloseHandle(caught_);
#else
    dup2(saved_, STDERR_FILENO);
    close(saved_);
#endif
}

std::string CaughtStandardError::Text() {
    Restore();
    const testbed::Bytes bytes = FileBytes(file_);
    return std::string(bytes.begin(), bytes.end());
}

} // namespace tracetest
