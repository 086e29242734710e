// The recording layer's operating-system calls on Windows: kernel32 only,
// wide-character paths (a temporary folder may have any name). Every call
// keeps the thread's last error as the library left it, since the
// application may read it after an export returns.
#include <windows.h>

#include "trace/platform.h"

namespace zqltrace {
namespace {

HANDLE File = INVALID_HANDLE_VALUE;
wchar_t Path[kMaxPath];

// Keeps GetLastError's value across a scope.
class KeepLastError {
  public:
    KeepLastError() : saved_(GetLastError()) {}
    ~KeepLastError() { SetLastError(saved_); }
    KeepLastError(const KeepLastError &) = delete;
    KeepLastError &operator=(const KeepLastError &) = delete;

  private:
    DWORD saved_;
};

// Appends `text` to Path at `at`; false when it does not fit.
bool AppendPath(std::size_t &at, const wchar_t *text) {
    for (; *text != 0; ++text) {
        if (at + 1 >= kMaxPath) {
            return false;
        }
        Path[at++] = *text;
    }
    Path[at] = 0;
    return true;
}

// The trace's path: ZQLUSB_TRACE, else zqlusb-<pid>.pcapng in the
// temporary folder. False when it is too long or the folder is unknown.
bool ChoosePath() {
    const DWORD named = GetEnvironmentVariableW(L"ZQLUSB_TRACE", Path, kMaxPath);
    if (named != 0) {
        return named < kMaxPath - 3; // room for the older part's ".1"
    }
    std::size_t at = GetTempPathW(kMaxPath, Path);
    if (at == 0 || at >= kMaxPath) {
        return false;
    }
    wchar_t pid[11];
    std::size_t digits = 0;
    for (DWORD id = GetCurrentProcessId(); id != 0 || digits == 0; id /= 10) {
        pid[digits++] = static_cast<wchar_t>(L'0' + id % 10);
    }
    wchar_t ordered[11];
    for (std::size_t i = 0; i < digits; ++i) {
        ordered[i] = pid[digits - 1 - i];
    }
    ordered[digits] = 0;
    return AppendPath(at, L"zqlusb-") && AppendPath(at, ordered) && AppendPath(at, L".pcapng") && at < kMaxPath - 3;
}

using Say = Notice<wchar_t>;

// To the debugger's output, and to standard error when the program has one
// (a console program, or one whose error output is redirected).
void Tell(Say &notice) {
    notice.Add("\r\n");
    OutputDebugStringW(notice.text);
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    if (GetFileType(error) == FILE_TYPE_CHAR && WriteConsoleW(error, notice.text, static_cast<DWORD>(notice.length),
                                                              &written, nullptr)) {
        return;
    }
    char utf8[Say::kCapacity * 3];
    const int length = WideCharToMultiByte(CP_UTF8, 0, notice.text, static_cast<int>(notice.length), utf8,
                                           static_cast<int>(sizeof utf8), nullptr, nullptr);
    if (length > 0) {
        WriteFile(error, utf8, static_cast<DWORD>(length), &written, nullptr);
    }
}

// Other processes may read the file but not write it: a second process
// recording to the same path is refused and takes a name of its own.
HANDLE OpenAlone(const wchar_t *path, DWORD disposition) {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Creates the file at Path, or, when another process has it open, at this
// process's own name, which Path then holds.
bool Create() {
    File = OpenAlone(Path, CREATE_ALWAYS);
    if (File == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
        wchar_t own[kMaxPath];
        if (OwnName(Path, GetCurrentProcessId(), own, kMaxPath - 2)) {
            Say notice;
            Tell(notice.Add(kSayInUse).Path(Path).Add(kSayInUseOwn).Path(own));
            for (std::size_t i = 0; i < kMaxPath; ++i) {
                Path[i] = own[i];
            }
            File = OpenAlone(Path, CREATE_ALWAYS);
        }
    }
    return File != INVALID_HANDLE_VALUE;
}

// The current file again, for the records that follow, after it could not
// be moved aside.
bool Reopen() {
    File = OpenAlone(Path, OPEN_EXISTING);
    LARGE_INTEGER end = {};
    if (File != INVALID_HANDLE_VALUE && !SetFilePointerEx(File, end, nullptr, FILE_END)) {
        CloseTraceFile();
    }
    return File != INVALID_HANDLE_VALUE;
}

} // namespace

bool OpenTraceFile() {
    KeepLastError keep;
    const bool named = GetEnvironmentVariableW(L"ZQLUSB_TRACE", nullptr, 0) != 0;
    const bool fits = ChoosePath();
    const bool opened = fits && Create();
    Say notice;
    if (opened) {
        Tell(notice.Add(kSayRecording).Path(Path));
    } else if (fits) {
        Tell(notice.Add(kSayCannotCreate).Path(Path).Add(kSayNothingRecorded));
    } else {
        Tell(notice.Add(kSayCannotCreate).Add(named ? "named by ZQLUSB_TRACE (the path is too long)"
                                                    : "in the temporary folder")
                 .Add(kSayNothingRecorded));
    }
    return opened;
}

bool WriteTraceFile(const void *bytes, std::size_t length) {
    KeepLastError keep;
    const auto *at = static_cast<const char *>(bytes);
    while (length != 0) {
        constexpr std::size_t kChunk = 1u << 30;
        const DWORD part = static_cast<DWORD>(length < kChunk ? length : kChunk);
        DWORD written = 0;
        if (!WriteFile(File, at, part, &written, nullptr) || written == 0) {
            return false;
        }
        at += written;
        length -= written;
    }
    return true;
}

// The file is closed to be moved (Windows moves no file open for writing);
// when the move fails, for instance because a viewer holds the older part,
// it is opened again and the records go on at its end.
Rotation RotateTraceFile(char *olderName) {
    KeepLastError keep;
    wchar_t older[kMaxPath];
    older[0] = 0;
    CloseTraceFile();
    Say notice;
    if (!OlderPartName(Path, older, kMaxPath) || !MoveFileExW(Path, older, MOVEFILE_REPLACE_EXISTING)) {
        if (!Reopen()) {
            Tell(notice.Add(kSayWriteFailed).Path(Path).Add(kSayStopped));
            return kLost;
        }
        Tell(notice.Add(kSayCannotMove).Path(older).Add(kSayGoesOn).Path(Path));
        return kKeptCurrent;
    }
    if (WideCharToMultiByte(CP_UTF8, 0, older, -1, olderName, static_cast<int>(kMaxPath * 4), nullptr, nullptr) == 0) {
        olderName[0] = '\0';
    }
    if (!Create()) {
        Tell(notice.Add(kSayNoNewFile).Path(Path).Add(kSayNothingRecorded));
        return kLost;
    }
    return kRotated;
}

void TellWriteFailed() {
    KeepLastError keep;
    Say notice;
    Tell(notice.Add(kSayWriteFailed).Path(Path).Add(kSayStopped));
}

void CloseTraceFile() {
    KeepLastError keep;
    if (File != INVALID_HANDLE_VALUE) {
        CloseHandle(File);
        File = INVALID_HANDLE_VALUE;
    }
}

std::uint64_t TraceSizeLimit() {
    KeepLastError keep;
    constexpr DWORD kDigits = 16;
    wchar_t text[kDigits];
    const DWORD length = GetEnvironmentVariableW(L"ZQLUSB_TRACE_MAX_MB", text, kDigits);
    if (length >= kDigits) {
        return SizeLimitFrom(L"x"); // too long for a number: the default
    }
    return SizeLimitFrom(length == 0 ? nullptr : text);
}

std::uint64_t NowNanoseconds() {
    // FILETIME counts 100 ns from 1601-01-01; this many of them to 1970.
    constexpr std::uint64_t kTo1970 = 116444736000000000u;
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const std::uint64_t ticks = (std::uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return (ticks - kTo1970) * 100;
}

std::uint32_t ProcessId() {
    return GetCurrentProcessId();
}

std::uint32_t ThreadId() {
    return GetCurrentThreadId();
}

} // namespace zqltrace
