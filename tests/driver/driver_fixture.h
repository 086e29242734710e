// The driver tests' shared ground: a host serving a fresh virtual instrument
// on a thread of its own for each test, an application's handle on the
// instrument, and what an application sees of one control request.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host.h"
#include "link/control_requests.h"
#include "virtual_instrument/instrument.h"

namespace drivertest {

using zqlusb::IOCTL_SCOPE_READ;
using zqlusb::IOCTL_SCOPE_READY;
using zqlusb::IOCTL_SCOPE_WRITE_RAW;
using zqlusb::IOCTL_SCOPE_WRITE_STREAM;

// A request for one register's value (a one-byte answer): its address, a
// filler to align the read command, then the read command.
inline const std::vector<std::uint8_t> kRegisterRead = {0x01, 0x21, 0x00, 0x00, 0x03, 0x04, 0x00, 0x00};
// How long a test waits for something the driver does on its own.
constexpr DWORD kPatienceMs = 10000;
// How often it looks meanwhile.
constexpr DWORD kPollMs = 10;

using zqlhost::InstrumentPath;
using zqlhost::OpenInstrument;

// What an application sees of one control request.
struct Outcome {
    bool ok;
    DWORD error;    // GetLastError after a failure, else 0
    DWORD returned; // the count reported
};

inline Outcome Call(HANDLE handle, DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength) {
    DWORD returned = 0xA5A5A5A5;
    SetLastError(0);
    const BOOL ok = DeviceIoControl(handle, code, const_cast<void *>(in), inLength, out, outLength, &returned, nullptr);
    return {ok != FALSE, ok ? 0 : GetLastError(), returned};
}

inline ZqlDriverStatus Status() {
    ZqlDriverStatus status = {};
    EXPECT_TRUE(zqlhost::QueryStatus(&status)) << "the driver does not answer status";
    return status;
}

inline DWORD WINAPI ServeThread(LPVOID host) {
    return static_cast<zqlhost::Host *>(host)->Serve();
}

// A host serving vi::Device() on a thread of its own.
class ServingHost {
  public:
    bool Start(std::string *error) {
        host_ = std::make_unique<zqlhost::Host>();
        if (!host_->Attach(error)) {
            return false;
        }
        thread_ = CreateThread(nullptr, 0, ServeThread, host_.get(), 0, nullptr);
        return thread_ != nullptr;
    }
    void End() {
        if (thread_ != nullptr) {
            host_->Stop();
            WaitForSingleObject(thread_, kPatienceMs);
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        host_.reset(); // closes the control handle: the driver sees the host go
    }
    zqlhost::Host &Get() { return *host_; }

  private:
    std::unique_ptr<zqlhost::Host> host_;
    HANDLE thread_ = nullptr;
};

class DriverTest : public testing::Test {
  protected:
    void SetUp() override {
        vi::ResetDevice();
        std::string error;
        ASSERT_TRUE(host_.Start(&error)) << error;
        path_ = InstrumentPath();
        ASSERT_FALSE(path_.empty()) << "a serving host enables the interface";
        device_ = OpenInstrument(path_);
        ASSERT_NE(device_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        // Answered behind the open, so the open has been answered too.
        ASSERT_TRUE(Call(device_, IOCTL_SCOPE_READY, nullptr, 0, nullptr, 0).ok);
        TakeTransfers();
    }
    void TearDown() override {
        ExpectServing();
        CloseHandle(device_);
        host_.End();
    }

    // The driver still serves: a ready probe is answered, nothing is left
    // pending, and a serving host is there.
    void ExpectServing() {
        const Outcome ready = Call(device_, IOCTL_SCOPE_READY, nullptr, 0, nullptr, 0);
        EXPECT_TRUE(ready.ok) << "a ready probe after the test fails with error " << ready.error;
        const ZqlDriverStatus status = Status();
        EXPECT_EQ(status.hostPresent, 1u);
        EXPECT_EQ(status.pending, 0u);
    }

    // The instrument's transfers since the last call, and a fresh log.
    std::vector<vi::Transfer> TakeTransfers() {
        host_.Get().Lock();
        std::vector<vi::Transfer> taken = std::move(vi::Device().transfers);
        vi::Device().transfers.clear();
        vi::Device().errors.protocol.clear();
        host_.Get().Unlock();
        return taken;
    }

    ServingHost host_;
    std::string path_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
};

} // namespace drivertest
