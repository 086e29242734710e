// The recording layer's operating-system calls natively (the native trace
// library, its tests and the benchmark).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "trace/platform.h"
#include "trace/session.h"

namespace zqltrace {
namespace {

int File = -1;
char Path[kMaxPath];

using Say = Notice<char>;

void Tell(Say &notice) {
    notice.Add("\n");
    const int saved = errno;
    for (std::size_t at = 0; at < notice.length;) {
        const ssize_t written = write(STDERR_FILENO, notice.text + at, notice.length - at);
        if (written <= 0 && errno != EINTR) {
            break;
        }
        at += written > 0 ? static_cast<std::size_t>(written) : 0;
    }
    errno = saved;
}

// Opens `path` for this process alone (an advisory lock that every
// recording process takes) and only then empties it, so that a file another
// process is recording to is left as it is. A device (a pipe, /dev/null) is
// written as it is. -1 with errno EWOULDBLOCK when another process holds it.
int OpenAlone(const char *path) {
    const int file = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) {
        return -1;
    }
    struct stat status;
    const bool regular = fstat(file, &status) == 0 && S_ISREG(status.st_mode);
    if (regular && (flock(file, LOCK_EX | LOCK_NB) != 0 || ftruncate(file, 0) != 0)) {
        const int why = errno;
        close(file);
        errno = why == EAGAIN ? EWOULDBLOCK : why;
        return -1;
    }
    return file;
}

// Creates the file at Path, or, when another process holds it, at this
// process's own name, which Path then holds.
bool Create() {
    File = OpenAlone(Path);
    if (File < 0 && errno == EWOULDBLOCK) {
        char own[kMaxPath];
        if (OwnName(Path, static_cast<std::uint32_t>(getpid()), own, kMaxPath - 2)) {
            Say notice;
            Tell(notice.Add(kSayInUse).Path(Path).Add(kSayInUseOwn).Path(own));
            std::memcpy(Path, own, sizeof own);
            File = OpenAlone(Path);
        }
    }
    return File >= 0;
}

// The thread's kernel id, asked once per thread.
thread_local std::uint32_t KnownThreadId = 0;

} // namespace

bool OpenTraceFile() {
    const int saved = errno;
    const char *named = std::getenv("ZQLUSB_TRACE");
    int length = 0;
    if (named != nullptr && named[0] != '\0') {
        length = std::snprintf(Path, kMaxPath, "%s", named);
    } else {
        const char *folder = std::getenv("TMPDIR");
        length = std::snprintf(Path, kMaxPath, "%s/zqlusb-%ld.pcapng", folder && folder[0] ? folder : "/tmp",
                               static_cast<long>(getpid()));
    }
    const bool fits = length > 0 && static_cast<std::size_t>(length) + 3 < kMaxPath;
    const bool opened = fits && Create();
    Say notice;
    if (opened) {
        Tell(notice.Add(kSayRecording).Path(Path));
    } else {
        Tell(notice.Add(kSayCannotCreate).Path(fits || named == nullptr ? Path : named).Add(kSayNothingRecorded));
    }
    errno = saved;
    return opened;
}

bool WriteTraceFile(const void *bytes, std::size_t length) {
    const int saved = errno;
    const auto *at = static_cast<const char *>(bytes);
    while (length != 0) {
        const ssize_t written = write(File, at, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            errno = saved;
            return false;
        }
        at += written;
        length -= static_cast<std::size_t>(written);
    }
    errno = saved;
    return true;
}

// The file is renamed while it is open: a rename that fails leaves it open
// and writable as it was.
Rotation RotateTraceFile(char *olderName) {
    const int saved = errno;
    Say notice;
    Rotation outcome = kRotated;
    olderName[0] = '\0';
    if (!OlderPartName(Path, olderName, kMaxPath) || std::rename(Path, olderName) != 0) {
        Tell(notice.Add(kSayCannotMove).Path(olderName).Add(kSayGoesOn).Path(Path));
        outcome = kKeptCurrent;
    } else {
        CloseTraceFile();
        if (!Create()) {
            Tell(notice.Add(kSayNoNewFile).Path(Path).Add(kSayNothingRecorded));
            outcome = kLost;
        }
    }
    errno = saved;
    return outcome;
}

void TellWriteFailed() {
    Say notice;
    Tell(notice.Add(kSayWriteFailed).Path(Path).Add(kSayStopped));
}

void CloseTraceFile() {
    if (File >= 0) {
        close(File);
        File = -1;
    }
}

std::uint64_t TraceSizeLimit() {
    return SizeLimitFrom(std::getenv("ZQLUSB_TRACE_MAX_MB"));
}

std::uint64_t NowNanoseconds() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint32_t ProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

std::uint32_t ThreadId() {
    if (KnownThreadId == 0) {
        KnownThreadId = static_cast<std::uint32_t>(syscall(SYS_gettid));
    }
    return KnownThreadId;
}

namespace {
// The library is unloaded (or the process ends): the session's last record.
// Without waiting for the lock, since at the end of a process a thread may
// have died holding it.
__attribute__((destructor)) void AtUnload() {
    EndSession(false);
}
} // namespace

} // namespace zqltrace
