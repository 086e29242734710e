// The trace build's test fixture: a trace file of the test's own under the
// temporary folder, named by ZQLUSB_TRACE, and read back at the end; the
// helpers the trace tests share.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/library.h"
#include "trace/format.h"
#include "trace/trace_file.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace tracetest {

using namespace zqltrace;
using testbed::Bytes;

inline std::string TempFolder() {
#if defined(_WIN32)
    char folder[MAX_PATH];
    const DWORD n = GetTempPathA(MAX_PATH, folder);
    return std::string(folder, n);
#else
    const char *folder = std::getenv("TMPDIR");
    return std::string(folder && folder[0] ? folder : "/tmp") + "/";
#endif
}

inline void SetVariable(const char *name, const std::string &value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

inline std::uint32_t ThisThread() {
#if defined(_WIN32)
    return GetCurrentThreadId();
#else
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
#endif
}

inline std::uint32_t ProcessId() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<std::uint32_t>(getpid());
#endif
}

class TraceTest : public testbed::DeviceTest {
  protected:
    void SetUp() override {
        // One name per process and test: the tests may run side by side.
        static int n = 0;
        const std::string stem =
            TempFolder() + "zqlusb-trace-test-" + std::to_string(ProcessId()) + "-" + std::to_string(++n);
        path = stem + ".pcapng";
        older = stem + ".1.pcapng";
        std::remove(path.c_str());
        std::remove(older.c_str());
        SetVariable("ZQLUSB_TRACE", path);
        SetVariable("ZQLUSB_TRACE_MAX_MB", "");
        DeviceTest::SetUp();
    }
    void TearDown() override {
        DeviceTest::TearDown();
        std::remove(path.c_str());
        std::remove(older.c_str());
        SetVariable("ZQLUSB_TRACE", "");
        SetVariable("ZQLUSB_TRACE_MAX_MB", "");
    }
    // Unloads the library (its last record) and reads the file.
    Trace Finish(const std::string &file = "") {
        testbed::UnloadLibrary();
        Trace t = ReadTrace(file.empty() ? path : file);
        EXPECT_EQ(t.problem, "");
        return t;
    }
    std::string path, older;
};

// The records of one kind and call, in order.
inline std::vector<Record> Of(const Trace &t, std::uint8_t kind, std::uint8_t call) {
    std::vector<Record> out;
    for (const Record &r : t.records) {
        if (r.kind == kind && r.call == call) {
            out.push_back(r);
        }
    }
    return out;
}

inline Bytes Le32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}
inline Bytes Le64(std::uint64_t v) {
    Bytes b = Le32(static_cast<std::uint32_t>(v));
    const Bytes high = Le32(static_cast<std::uint32_t>(v >> 32));
    b.insert(b.end(), high.begin(), high.end());
    return b;
}
inline void Put(Bytes &to, const Bytes &from) {
    to.insert(to.end(), from.begin(), from.end());
}

} // namespace tracetest
