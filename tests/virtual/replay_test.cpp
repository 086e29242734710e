// The instrument replaying a trace built byte by byte: reads get the recorded
// replies, the first write that differs is reported once with its record,
// and opens and dialog answers follow the recording.
#include "acquisition/record.h"
#include "trace/trace_bytes.h"
#include "support/library.h"
#include "virtual_instrument/replay.h"

namespace testbed {
namespace {

using namespace tracebytes;
using ReplayTest = DeviceTest;

constexpr std::uint32_t kHandle = 0x1A4; // a handle value of the recording machine, never compared
constexpr int kRetry = 4;

Bytes Transfer(std::uint32_t code, const Bytes &in, std::uint32_t outLength, const Bytes &reply) {
    Bytes fields = Arguments({kHandle, code, in.size(), outLength});
    if (!in.empty()) {
        fields = Cat({fields, Field(zqltrace::kBytesRead, in)});
    }
    if (!reply.empty()) {
        fields = Cat({fields, tracebytes::Changed(0, reply)});
    }
    return Cat({fields, U32Field(zqltrace::kReturnedLength, std::uint32_t(reply.size()))});
}

// A recorded capture of 4 points: the request (record 2), then its reply
// (record 3), then a register write flushed (record 4).
struct Recording {
    Trace trace = Trace::Opened();
    std::uint32_t number = 1;
    void Add(std::uint8_t call, std::uint32_t result, const Bytes &fields) {
        trace.Record({zqltrace::kPlatformCall, call, ++number, result, fields});
    }
};

Recording Capture() {
    Recording r;
    Bytes reply(64, 0);
    for (std::uint8_t i = 0; i < 8; ++i) {
        reply[i] = std::uint8_t(0x10 + i);
    }
    r.Add(zqltrace::kDeviceIoControl, 1, Transfer(IOCTL_SCOPE_WRITE_STREAM, {0x03, 0x09, 0x00, 0x00}, 0, {}));
    r.Add(zqltrace::kDeviceIoControl, 1, Transfer(IOCTL_SCOPE_READ, Bytes(64, 0), 64, reply));
    r.Add(zqltrace::kDeviceIoControl, 1, Transfer(IOCTL_SCOPE_WRITE_STREAM, {0x02, 0x42}, 0, {}));
    return r;
}

void StartReplay(const Bytes &trace) {
    std::string error;
    vi::Device().replay = vi::Replay::FromTrace(trace, "test.pcapng", &error);
    ASSERT_TRUE(vi::Device().replay) << error;
}

TEST_F(ReplayTest, ReadsGetTheRecordedRepliesAndMatchingWritesPass) {
    Open();
    StartReplay(Capture().trace.bytes);
    Record record;
    record.Header(4, 0, 1);
    USBRetrieveScopeData(record.data.get());
    for (std::uint8_t i = 0; i < 4; ++i) {
        EXPECT_EQ(record.At(i), (vi::Point{std::uint8_t(0x10 + 2 * i), std::uint8_t(0x11 + 2 * i)})) << int(i);
    }
    USBWriteData(0x42);
    USBFlushBuffer();
    EXPECT_EQ(Device().events, std::vector<std::string>{});
    EXPECT_EQ(Device().replay->transfersLeft(), 0u);
}

TEST_F(ReplayTest, TheFirstDivergenceIsReportedOnceWithItsRecordAndBothByteStrings) {
    Open();
    StartReplay(Capture().trace.bytes);
    Record record;
    record.Header(100, 0, 1); // 200 bytes: 4 packets, not the recorded 1
    ::testing::internal::CaptureStderr();
    USBRetrieveScopeData(record.data.get());
    USBWriteData(0x43); // differs too, and is not reported again
    USBFlushBuffer();
    USBFlushBuffer();
    USBWriteData(0x44);
    USBFlushBuffer(); // beyond the trace
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string report = "replay of test.pcapng diverges at record 2: recorded stream write (in 4, out 0) "
                               "4 bytes: 03 09 00 00; actual stream write (in 4, out 0) 4 bytes: 03 09 00 03";
    EXPECT_EQ(Device().events, std::vector<std::string>{report});
    EXPECT_EQ(err, "zqlusb virtual instrument: " + report + "\n");
    // The session goes on with the recorded answers: the recorded reply, cut to
    // what the library asked for.
    EXPECT_EQ(record.At(0), (vi::Point{0x10, 0x11}));
    EXPECT_EQ(record.At(99), (vi::Point{0, 0})) << "beyond the recorded reply: the receive buffer's earlier content";
}

TEST_F(ReplayTest, ATransferBeyondTheTraceAndALongWriteAreReportedReadably) {
    Open();
    Recording r;
    Bytes stream;
    for (int i = 0; i < 100; ++i) {
        stream.insert(stream.end(), {0x02, std::uint8_t(i)});
    }
    r.Add(zqltrace::kDeviceIoControl, 1, Transfer(IOCTL_SCOPE_WRITE_STREAM, stream, 0, {}));
    r.trace.Record({zqltrace::kSessionEnd, 0, 3, 0, {}});
    StartReplay(r.trace.bytes);
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 100; ++i) {
        USBWriteData(std::uint8_t(i == 60 ? 0xEE : i));
    }
    USBFlushBuffer();
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(Device().events.size(), 1u);
    EXPECT_NE(Device().events[0].find("at record 2: recorded stream write (in 200, out 0) 200 bytes: (from byte 105) "
                                      "... 34 02 35 02 36 02 37 02 38 02 39 02 3A 02 3B 02 3C 02 3D"),
              std::string::npos)
        << Device().events[0];
    EXPECT_NE(Device().events[0].find("(from byte 105) ... 34 02 35 02 36 02 37 02 38 02 39 02 3A 02 3B 02 EE 02 3D"),
              std::string::npos)
        << Device().events[0];

    Restart();
    Open();
    StartReplay(Trace::Opened().bytes);
    ::testing::internal::CaptureStderr();
    USBWriteData(1);
    USBFlushBuffer();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Device().events,
              std::vector<std::string>{"replay of test.pcapng diverges at the end of the trace (after record 1): the "
                                       "session makes a stream write (in 2, out 0) of 2 bytes: 02 01, but the trace "
                                       "has no more transfers"});
}

TEST_F(ReplayTest, OpensAndDialogAnswersFollowTheRecording) {
    if (kThroughDriver) {
        GTEST_SKIP() << kOpenFaultNotApplicable << " (the recording's first open failed)";
    }
    Recording r;
    const Bytes path = Field(zqltrace::kText, Text("\\\\?\\usb#zelqa0"));
    const Bytes write = Transfer(IOCTL_SCOPE_WRITE_STREAM, {0x02, 0x42}, 0, {});
    r.Add(zqltrace::kCreateFileA, 0xFFFFFFFF, path);
    r.Add(zqltrace::kCreateFileA, kHandle, path);
    r.Add(zqltrace::kDeviceIoControl, 0, write); // failed; the silent reopen repeats it
    r.Add(zqltrace::kCreateFileA, kHandle, path);
    r.Add(zqltrace::kDeviceIoControl, 0, write); // failed again: the dialog
    r.Add(zqltrace::kMessageBoxA, kRetry, Field(zqltrace::kText, Text("Zelqa not ready")));
    r.Add(zqltrace::kCreateFileA, kHandle, path);
    r.Add(zqltrace::kDeviceIoControl, 1, write);
    StartReplay(r.trace.bytes);
    EXPECT_EQ(USBInitDevice(), 256) << "the first recorded open failed";
    EXPECT_EQ(USBInitDevice(), 0);
    SetDLLBehaviour(1);
    USBWriteData(0x42);
    USBFlushBuffer();
    ASSERT_EQ(Device().dialogs.size(), 1u);
    EXPECT_EQ(Device().dialogs[0].answer, kRetry) << "the recorded answer, not the instrument's Cancel";
    std::vector<bool> results;
    for (const vi::Transfer &t : Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM)) {
        results.push_back(t.ok);
    }
    EXPECT_EQ(results, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(Device().events, std::vector<std::string>{});
}

TEST_F(ReplayTest, ASessionRecordedWithoutAnInstrumentFindsNone) {
    if (kThroughDriver) {
        GTEST_SKIP() << "not applicable through the driver: the listing is Wine's SetupAPI's, which shows the "
                        "interface the host enables; no recorded listing can answer it";
    }
    Recording r;
    r.Add(zqltrace::kSetupDiGetClassDevsA, 0x977F80, Arguments({0, 0, 0, 0x12}));
    r.Add(zqltrace::kSetupDiEnumDeviceInterfaces, 0, Arguments({0x977F80, 0, 0, 0, 0}));
    r.Add(zqltrace::kSetupDiDestroyDeviceInfoList, 1, Arguments({0x977F80}));
    StartReplay(r.trace.bytes);
    EXPECT_EQ(USBInitDevice(), 256);
    EXPECT_EQ(USBInitDevice(), 0) << "after the recorded listings the instrument is there";
    EXPECT_EQ(Device().events, std::vector<std::string>{});
}

TEST_F(ReplayTest, AFileThatCannotBeReplayedSaysWhy) {
    std::string error;
    EXPECT_FALSE(vi::Replay::FromTrace(Text("index,channel_a\n"), "x.csv", &error));
    EXPECT_NE(error.find("not a pcapng file"), std::string::npos) << error;
    Bytes cut = Capture().trace.bytes;
    cut.resize(cut.size() - 10);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(vi::Replay::FromTrace(cut, "cut.pcapng", &error)) << "the records before the cut are replayed";
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("replay of cut.pcapng: Truncated"), std::string::npos);
}

} // namespace
} // namespace testbed
