// The recording layer's operating-system calls natively (the native trace
// library, its tests and the benchmark).
#include <fcntl.h>
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

bool Create() {
    File = open(Path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return File >= 0;
}

// The thread's kernel id, asked once per thread.
thread_local std::uint32_t KnownThreadId = 0;

} // namespace

bool OpenTraceFile() {
    const char *named = std::getenv("ZQLUSB_TRACE");
    int length = 0;
    if (named != nullptr && named[0] != '\0') {
        length = std::snprintf(Path, kMaxPath, "%s", named);
    } else {
        const char *folder = std::getenv("TMPDIR");
        length = std::snprintf(Path, kMaxPath, "%s/zqlusb-%ld.pcapng", folder && folder[0] ? folder : "/tmp",
                               static_cast<long>(getpid()));
    }
    return length > 0 && static_cast<std::size_t>(length) + 3 < kMaxPath && Create();
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

bool RotateTraceFile(char *olderName) {
    CloseTraceFile();
    if (!OlderPartName(Path, olderName, kMaxPath) || std::rename(Path, olderName) != 0) {
        return false;
    }
    return Create();
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
