// The trace file as the user meets it: what the library says about where
// the trace goes and when it cannot be written, a part that cannot be moved
// aside at the size limit, a second process recording to the same path, and
// a file left from before.
#include <filesystem>
#include <fstream>
#include <memory>

#include "trace/standard_error.h"
#include "trace/trace_fixture.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#endif

namespace tracetest {
namespace {

namespace fs = std::filesystem;

// The file a process records to when another holds the trace's path.
std::string OwnName(const std::string &path) {
    const std::string stem = path.substr(0, path.size() - std::string(".pcapng").size());
    return stem + "-" + std::to_string(ProcessId()) + ".pcapng";
}

bool Contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Record numbers from 1 without a gap, the session's start first and its end
// last: a trace that was closed properly.
void ExpectWhole(const Trace &t) {
    ASSERT_GE(t.records.size(), 2u);
    EXPECT_EQ(t.records.front().kind, kSessionStart);
    EXPECT_EQ(t.records.back().kind, kSessionEnd);
    for (std::size_t i = 1; i < t.records.size(); ++i) {
        EXPECT_EQ(t.records[i].number, t.records[i - 1].number + 1) << "after record " << t.records[i - 1].number;
    }
}

struct Saying {
    const char *what;
    std::string trace; // ZQLUSB_TRACE; "" unset, "{test}" the test's own path
    std::string said;  // what standard error says, "{path}" for the file written
    bool written;
};

TEST_F(TraceTest, WhereTheTraceGoesIsSaidAndSoIsAFileThatCannotBeWritten) {
    const std::string defaultPath = TempFolder() + "zqlusb-" + std::to_string(ProcessId()) + ".pcapng";
    const std::string missing = TempFolder() + "no-such-folder" + std::string(1, fs::path::preferred_separator) +
                                "trace.pcapng";
    std::vector<Saying> cases = {
        {"a named file", "{test}", "zqlusb: recording the session trace to {path}\n", true},
        {"the temporary folder's default", "", "zqlusb: recording the session trace to {path}\n", true},
        {"a folder that does not exist", missing,
         "zqlusb: cannot create the trace file " + missing + "; nothing is recorded\n", false},
    };
#if !defined(_WIN32)
    cases.push_back({"a device that takes no bytes", "/dev/full",
                     "zqlusb: recording the session trace to /dev/full\n"
                     "zqlusb: writing the trace file /dev/full failed; recording stopped\n",
                     false});
#endif
    for (const Saying &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string trace = c.trace == "{test}" ? path : c.trace;
        const std::string written = c.trace.empty() ? defaultPath : path;
        std::string said = c.said;
        if (const std::size_t at = said.find("{path}"); at != std::string::npos) {
            said.replace(at, 6, written);
        }
        SetVariable("ZQLUSB_TRACE", trace);
        Restart();
        std::string text;
        {
            CaughtStandardError caught(path + ".err");
            EXPECT_EQ(USBInitDevice(), 0);
            testbed::UnloadLibrary();
            text = caught.Text();
        }
        for (std::size_t at; testbed::kWindowsDll && (at = text.find("\r\n")) != std::string::npos;) {
            text.erase(at, 1);
        }
        EXPECT_EQ(text, said);
        if (c.written) {
            const Trace t = ReadTrace(written);
            EXPECT_EQ(t.problem, "");
            ExpectWhole(t);
        }
        std::remove(defaultPath.c_str());
        std::remove(path.c_str());
    }
}

// What stands in the way of moving the full part to the older part's name,
// for as long as the object lives.
class InTheWay {
  public:
    virtual ~InTheWay() = default;
};

// A folder at the older part's name: no file moves there.
class FolderInTheWay : public InTheWay {
  public:
    explicit FolderInTheWay(const std::string &older) : older_(older) {
        fs::create_directory(older);
        std::ofstream(older + "/keep") << "in the way";
    }
    ~FolderInTheWay() override { fs::remove_all(older_); }

  private:
    std::string older_;
};

#if defined(_WIN32)
// A viewer showing the older part from before, which it opened without
// letting anyone delete or replace it.
class ViewerInTheWay : public InTheWay {
  public:
    explicit ViewerInTheWay(const std::string &older) {
        viewer_ = CreateFileA(older.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(viewer_, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(viewer_, "an older part", 13, &written, nullptr);
    }
    ~ViewerInTheWay() override { CloseHandle(viewer_); }

  private:
    HANDLE viewer_;
};
#endif

// The records go on in the current file, which is closed properly, and the
// move is tried again one part later.
TEST_F(TraceTest, APartThatCannotBeMovedAsideKeepsTheRecordsComing) {
    struct Case {
        const char *what;
        std::unique_ptr<InTheWay> (*block)(const std::string &older);
    };
    std::vector<Case> cases = {
        {"a folder at the older part's name",
         [](const std::string &at) -> std::unique_ptr<InTheWay> { return std::make_unique<FolderInTheWay>(at); }},
    };
#if defined(_WIN32)
    cases.push_back({"the older part open in a viewer", [](const std::string &at) -> std::unique_ptr<InTheWay> {
                         return std::make_unique<ViewerInTheWay>(at);
                     }});
#endif
    SetVariable("ZQLUSB_TRACE_MAX_MB", "1"); // parts of at most 512 KiB
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        std::unique_ptr<InTheWay> blocker = c.block(older);
        CaughtStandardError caught(path + ".err");
        ASSERT_EQ(USBInitDevice(), 0);
        std::unique_ptr<OutPutData> record(new OutPutData());
        constexpr int kReads = 6; // about 190 KiB of records each: two tries to move the part
        for (int i = 0; i < kReads; ++i) {
            USBRetrievePreTriggerData(record.get());
        }
        const std::string said = caught.Text();
        EXPECT_LT(FileBytes(older).size(), 1024u) << "nothing moved while the way was blocked";
        blocker.reset();
        // Out of the way now: the part moves at the next try, one part later.
        int after = 0;
        while (FileBytes(older).size() < 512 * 1024 && after < kReads) {
            USBRetrievePreTriggerData(record.get());
            ++after;
        }
        USBRetrievePreTriggerData(record.get());
        const Trace newest = Finish();
        const Trace before = ReadTrace(older);
        EXPECT_EQ(before.problem, "");
        EXPECT_TRUE(Contains(said, "zqlusb: cannot move the full trace file to " + older +
                                       "; recording goes on in " + path))
            << said;
        // The part that could not move took every record until the move worked.
        ASSERT_FALSE(before.records.empty());
        EXPECT_EQ(before.records.front().kind, kSessionStart);
        EXPECT_EQ(before.records.front().number, 1u);
        EXPECT_GT(FileBytes(older).size(), 700u * 1024) << "the part grew past its limit while it could not move";
        for (std::size_t i = 1; i < before.records.size(); ++i) {
            EXPECT_EQ(before.records[i].number, before.records[i - 1].number + 1);
        }
        ASSERT_GE(newest.records.size(), 3u);
        EXPECT_EQ(newest.records[1].kind, kContinued);
        EXPECT_EQ(newest.records[1].Arguments().at(0), before.records.back().number);
        EXPECT_EQ(newest.records.back().kind, kSessionEnd);
        EXPECT_EQ(Of(before, kExportCall, 18).size() + Of(newest, kExportCall, 18).size(),
                  static_cast<std::size_t>(kReads + after + 1))
            << "no read went unrecorded";
        std::remove(path.c_str());
        std::remove(older.c_str());
    }
}

// Holds the trace's path as a recording process does.
class OtherRecorder {
  public:
    explicit OtherRecorder(const std::string &path) {
#if defined(_WIN32)
        handle_ = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(handle_, kTheirs, sizeof kTheirs - 1, &written, nullptr);
#else
        file_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        EXPECT_EQ(flock(file_, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(write(file_, kTheirs, sizeof kTheirs - 1), static_cast<ssize_t>(sizeof kTheirs - 1));
#endif
    }
    ~OtherRecorder() {
#if defined(_WIN32)
        CloseHandle(handle_);
#else
        close(file_);
#endif
    }
    OtherRecorder(const OtherRecorder &) = delete;
    OtherRecorder &operator=(const OtherRecorder &) = delete;
    static constexpr char kTheirs[] = "the other process's records";

  private:
#if defined(_WIN32)
    HANDLE handle_;
#else
    int file_;
#endif
};

TEST_F(TraceTest, ASecondProcessRecordsToANameOfItsOwnAndSaysSo) {
    const std::string own = OwnName(path);
    std::remove(own.c_str());
    std::string said;
    {
        OtherRecorder other(path);
        CaughtStandardError caught(path + ".err");
        ASSERT_EQ(USBInitDevice(), 0);
        USBWriteAddress(0x10);
        USBWriteData(0x77);
        USBFlushBuffer();
        testbed::UnloadLibrary();
        said = caught.Text();
    }
    const Bytes theirs = FileBytes(path);
    EXPECT_EQ(std::string(theirs.begin(), theirs.end()), OtherRecorder::kTheirs) << "the other file is untouched";
    EXPECT_TRUE(Contains(said, "zqlusb: another process is recording to " + path + "; this process records to " + own))
        << said;
    EXPECT_TRUE(Contains(said, "zqlusb: recording the session trace to " + own)) << said;
    const Trace t = ReadTrace(own);
    EXPECT_EQ(t.problem, "");
    ExpectWhole(t);
    const std::vector<Record> runs = Of(t, kRegisterWrites, 0);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_BYTES(runs[0].One(kWrites), (Bytes{7, 0x10, 8, 0x77}));
    std::remove(own.c_str());
}

TEST_F(TraceTest, AFileFromBeforeIsEmptiedFirst) {
    std::ofstream(path, std::ios::binary) << std::string(1 << 20, '\xFF');
    ASSERT_EQ(USBReadI2CEEPROM(0x2345, 0x1234), 2730);
    const Trace t = Finish(); // a byte of the old file after the last block would break its layout
    ASSERT_EQ(t.records.size(), 3u);
    EXPECT_EQ(t.records[1].kind, kExportCall);
    EXPECT_EQ(t.records.back().kind, kSessionEnd);
}

} // namespace
} // namespace tracetest
