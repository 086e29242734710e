// The host role through the driver under Wine: who may take it, what a
// host's answer can make an application see, a host that stops while it
// answers, and the host's own requests beside its pending wait.
#include <winternl.h>

#include <cstring>

#include "driver_fixture.h"

namespace {

using namespace drivertest;

// NTSTATUS values a host may answer with (windows.h defines few of them).
constexpr LONG kPending = 0x00000103;
constexpr LONG kReparse = 0x00000104;
constexpr LONG kBufferOverflow = static_cast<LONG>(0x80000005);
constexpr LONG kInvalidParameter = static_cast<LONG>(0xC000000D);
constexpr LONG kNotConnected = static_cast<LONG>(0xC000009D);
constexpr LONG kUnknownFailure = static_cast<LONG>(0xC0001234);

class HostRoleTest : public DriverTest {
  protected:
    // A host serves again after the test took the role away, and the test's
    // handle is one of that host's.
    void ServeAgain() {
        std::string error;
        ASSERT_TRUE(host_.Start(&error)) << error;
        Reopen();
    }
    void Reopen() {
        CloseHandle(device_);
        device_ = OpenInstrument(InstrumentPath());
        ASSERT_NE(device_, INVALID_HANDLE_VALUE);
    }
};

HANDLE OpenControlForReading() {
    return CreateFileA(ZQLHOST_WIN32_PATH, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// A handle opened without write access cannot serve: every host request is
// refused by the I/O manager before the driver sees it, even with no host
// there; a status request needs no write access.
TEST_F(HostRoleTest, HostRequestsNeedWriteAccess) {
    host_.End();
    HANDLE reader = OpenControlForReading();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
    std::uint8_t buffer[64] = {};
    const struct {
        const char *what;
        DWORD code;
        DWORD inLength;
        DWORD outLength;
    } cases[] = {
        {"attach", ZQLHOST_ATTACH, 0, 0},
        {"next message", ZQLHOST_NEXT, sizeof(ZqlHostAnswer), sizeof(ZqlHostMessage)},
        {"payload", ZQLHOST_PAYLOAD, 4, 16},
        {"interface on", ZQLHOST_INTERFACE, 1, 0},
        {"stop", ZQLHOST_STOP, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        buffer[0] = 1;
        const Outcome got = Call(reader, c.code, buffer, c.inLength, buffer, c.outLength);
        EXPECT_FALSE(got.ok);
        EXPECT_EQ(got.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    ZqlDriverStatus status = {};
    const Outcome asked = Call(reader, ZQLHOST_STATUS, nullptr, 0, &status, sizeof status);
    EXPECT_TRUE(asked.ok) << asked.error;
    EXPECT_EQ(status.hostPresent, 0u) << "a reading handle became the host";
    CloseHandle(reader);
    ServeAgain();
}

// What Wine makes of the control device's access list, asked with a token
// whose Administrators group is for denial only (an elevated user's token
// made plain, as Windows gives a non-elevated process). Where Wine applies
// the list, the open is refused and the host says what it lacks.
TEST_F(HostRoleTest, ANonAdministratorCannotTakeTheHostRole) {
    HANDLE process = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                         &administrators));
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    HANDLE restricted = nullptr;
    HANDLE plain = nullptr;
    const bool made =
        CreateRestrictedToken(process, DISABLE_MAX_PRIVILEGE, 1, &disable, 0, nullptr, 0, nullptr, &restricted) &&
        DuplicateToken(restricted, SecurityImpersonation, &plain);
    const DWORD madeError = made ? 0 : GetLastError();
    BOOL member = TRUE;
    const bool checked = made && CheckTokenMembership(plain, administrators, &member);
    HANDLE opened = INVALID_HANDLE_VALUE;
    DWORD openError = 0;
    std::string attachError;
    bool attached = false;
    if (made && SetThreadToken(nullptr, plain)) {
        opened = zqlhost::OpenControl();
        openError = opened == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        zqlhost::Host other;
        attached = other.Attach(&attachError);
        RevertToSelf();
    }
    std::printf("non-administrator token: made %s (error %lu), Administrators %s, control device open %s "
                "(error %lu), host role: %s\n",
                made ? "yes" : "no", madeError,
                !checked ? "not checked"
                : member ? "a member"
                         : "deny-only",
                opened != INVALID_HANDLE_VALUE ? "succeeded" : "refused", openError,
                attached ? "taken" : attachError.c_str());
    if (opened != INVALID_HANDLE_VALUE) {
        CloseHandle(opened);
    }
    for (HANDLE token : {plain, restricted, process}) {
        if (token != nullptr) {
            CloseHandle(token);
        }
    }
    FreeSid(administrators);
    if (!made || !checked || member) {
        GTEST_SKIP() << "Wine made no token without the Administrators group (error " << madeError << ")";
    }
    if (openError == 0) {
        GTEST_SKIP() << "Wine does not apply the control device's access list: a token whose Administrators group "
                        "is deny-only opened it (Windows refuses it)";
    }
    EXPECT_EQ(openError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(attached);
    EXPECT_NE(attachError.find("needs an administrator"), std::string::npos) << attachError;
}

DWORD WINAPI ReadyThread(LPVOID handle) {
    const Outcome got = Call(static_cast<HANDLE>(handle), IOCTL_SCOPE_READY, nullptr, 0, nullptr, 0);
    return got.ok ? 0 : got.error;
}

// A host answering with a status outside the relay's list: the application
// sees a device error, never a pending or reparse result its synchronous
// call cannot be in; the relay's own failures pass as they are.
TEST_F(HostRoleTest, HostStatusesOutsideTheRelaysListBecomeDeviceErrors) {
    const struct {
        const char *what;
        LONG answered;
        DWORD error; // what the application's ready probe gets
        bool replaced;
    } cases[] = {
        {"success", 0, 0, false},
        {"not connected", kNotConnected, ERROR_DEVICE_NOT_CONNECTED, false},
        {"invalid parameter", kInvalidParameter, ERROR_INVALID_PARAMETER, false},
        {"pending", kPending, ERROR_IO_DEVICE, true},
        {"reparse", kReparse, ERROR_IO_DEVICE, true},
        {"buffer overflow (a warning)", kBufferOverflow, ERROR_IO_DEVICE, true},
        {"an unknown failure", kUnknownFailure, ERROR_IO_DEVICE, true},
    };
    host_.End();
    HANDLE raw = zqlhost::OpenControl();
    ASSERT_NE(raw, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Call(raw, ZQLHOST_ATTACH, nullptr, 0, nullptr, 0).ok);
    const unsigned replacedBefore = Status().replaced;
    unsigned replaced = 0;
    std::vector<std::uint8_t> message(sizeof(ZqlHostMessage) + 64);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE caller = CreateThread(nullptr, 0, ReadyThread, device_, 0, nullptr);
        ASSERT_NE(caller, nullptr);
        ZqlHostAnswer none = {};
        ASSERT_TRUE(Call(raw, ZQLHOST_NEXT, &none, sizeof none, message.data(), static_cast<DWORD>(message.size())).ok);
        ZqlHostMessage taken;
        std::memcpy(&taken, message.data(), sizeof taken);
        ASSERT_EQ(taken.code, IOCTL_SCOPE_READY);
        // Stop first, so that the answer's ZQLHOST_NEXT delivers it and ends.
        ASSERT_TRUE(Call(raw, ZQLHOST_STOP, nullptr, 0, nullptr, 0).ok);
        ZqlHostAnswer answer = {taken.id, c.answered, 0, 0};
        const Outcome delivered =
            Call(raw, ZQLHOST_NEXT, &answer, sizeof answer, message.data(), static_cast<DWORD>(message.size()));
        EXPECT_EQ(delivered.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        ASSERT_EQ(WaitForSingleObject(caller, kPatienceMs), WAIT_OBJECT_0) << "the application's request never ended";
        DWORD code = 0;
        GetExitCodeThread(caller, &code);
        CloseHandle(caller);
        EXPECT_EQ(code, c.error);
        replaced += c.replaced ? 1 : 0;
    }
    EXPECT_EQ(Status().replaced - replacedBefore, replaced) << "each replaced status is counted";
    CloseHandle(raw);
    ServeAgain();
}

struct Write {
    HANDLE device;
    Outcome got;
};

DWORD WINAPI WriteRegister(LPVOID context) {
    auto *write = static_cast<Write *>(context);
    const std::uint8_t stream[] = {0x01, 0x10, 0x02, 0x77}; // register 0x10 := 0x77
    write->got = Call(write->device, IOCTL_SCOPE_WRITE_STREAM, stream, sizeof stream, nullptr, 0);
    return 0;
}

// A host stopped while it answers a register write (after the message
// arrived, before its answer went back) delivers that answer first: the
// application's write succeeds, as it was carried out.
TEST_F(HostRoleTest, AHostStoppedWhileAnsweringDeliversTheAnswer) {
    bool stopNow = true;
    host_.Get().BeforeEachAnswer([&] {
        if (stopNow) {
            stopNow = false;
            host_.Get().Stop();
        }
    });
    Write write = {device_, {}};
    HANDLE writer = CreateThread(nullptr, 0, WriteRegister, &write, 0, nullptr);
    ASSERT_NE(writer, nullptr);
    const DWORD waited = WaitForSingleObject(writer, kPatienceMs);
    if (waited != WAIT_OBJECT_0) {
        host_.End(); // the host's close fails the write that waits for its answer
        WaitForSingleObject(writer, kPatienceMs);
    }
    CloseHandle(writer);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "the answer was lost: the write waited until the host closed";
    EXPECT_TRUE(write.got.ok) << "error " << write.got.error;
    host_.Get().Lock();
    EXPECT_EQ(vi::Device().registers[0x10], 0x77);
    host_.Get().Unlock();
    host_.End();
    ServeAgain();
}

// The host's handle is open for overlapped I/O, so on Windows its own
// requests from other threads (stop, interface) go to the driver beside its
// pending wait instead of queueing behind it. Wine never queues them, so
// what shows here is the handle's mode, and that those requests work while
// the wait is pending.
TEST_F(HostRoleTest, TheHostsRequestsDoNotQueueBehindItsWait) {
    using QueryFile = LONG(NTAPI *)(HANDLE, IO_STATUS_BLOCK *, PVOID, ULONG, ULONG);
    constexpr ULONG kFileModeInformation = 16;
    constexpr ULONG kSynchronousIo = 0x10 | 0x20; // FILE_SYNCHRONOUS_IO_ALERT, _NONALERT
    auto query = reinterpret_cast<QueryFile>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationFile")));
    ASSERT_NE(query, nullptr);
    IO_STATUS_BLOCK io = {};
    ULONG mode = 0;
    ASSERT_EQ(query(host_.Get().ControlHandle(), &io, &mode, sizeof mode, kFileModeInformation), 0);
    EXPECT_EQ(mode & kSynchronousIo, 0u) << "the host's handle is synchronous: its requests queue behind its wait";

    ASSERT_EQ(Status().pending, 0u) << "the host is waiting, with nothing to answer";
    host_.Get().Lock();
    vi::Device().Detach();
    host_.Get().Unlock();
    host_.Get().FollowAttachment(); // the interface off, from this thread
    EXPECT_TRUE(InstrumentPath().empty());
    host_.Get().Lock();
    vi::Device().Attach();
    host_.Get().Unlock();
    host_.Get().FollowAttachment();
    EXPECT_FALSE(InstrumentPath().empty());
    Reopen(); // the test's handle belonged to the earlier attachment
}

} // namespace
