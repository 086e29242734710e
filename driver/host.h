// The host: serves the process's virtual instrument (vi::Device()) to
// applications through the virtual Zelqa driver. It claims the driver's host
// role and answers each message the driver hands it: opens and closes of the
// instrument, and the four control requests, which the instrument's model
// answers as it answers the stand-in. Used by zqlinstrument serve and by the
// driver lanes' test bed.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host_protocol.h"

namespace zqlhost {

class Host {
  public:
    Host();
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Opens the control device and claims the host role; on failure says why.
    bool Attach(std::string *error);
    // Serves messages until the driver or the handle fails (or Stop); returns
    // the Win32 error that ended it (ERROR_OPERATION_ABORTED after Stop).
    DWORD Serve();
    // Ends Serve from another thread (or its own): the driver ends the
    // outstanding wait, or, while a message is being answered, the next wait
    // once it has delivered that answer.
    void Stop();
    // Whether Stop was called.
    bool Stopped() const { return stop_; }
    // Releases the host role: the driver fails what is pending.
    void Close();

    // The instrument is shared with the thread that serves it: hold this
    // lock while touching it from another thread.
    void Lock() { AcquireSRWLockExclusive(&lock_); }
    void Unlock() { ReleaseSRWLockExclusive(&lock_); }
    // Switches the interface to match the instrument's attachment, if it
    // differs (a test detached the instrument directly). Takes the lock.
    void FollowAttachment();
    // Messages answered so far (opens, closes, control requests, syncs).
    std::uint32_t Answered() const { return answered_; }
    // Runs on the serving thread after each message arrives, before it is
    // answered (tests use it to act at that point).
    void BeforeEachAnswer(std::function<void()> action) { beforeAnswer_ = std::move(action); }
    // The host's handle on the control device (open for overlapped I/O).
    HANDLE ControlHandle() const { return handle_; }

  private:
    void Answer(const ZqlHostMessage &message, const std::uint8_t *input);
    bool FetchPayload(const ZqlHostMessage &message, std::vector<std::uint8_t> *payload);
    void Control(const ZqlHostMessage &message, const std::uint8_t *input);
    void Replayed(const ZqlHostMessage &message, const std::uint8_t *input);
    void SetInterface(bool enabled);
    void Reply(std::uint32_t id, LONG status, std::uint32_t information, std::uint32_t length);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    HANDLE serveEvent_ = nullptr; // the serving thread's requests wait on it
    std::function<void()> beforeAnswer_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    bool interfaceOn_ = true;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint32_t> answered_{0};
    std::vector<std::uint8_t> message_; // the message buffer: head and attached input
    std::vector<std::uint8_t> answer_;  // the answer buffer: head and output bytes
};

// The instrument's device path as SetupAPI lists it under the instrument's
// interface class; empty while the interface is disabled.
std::string InstrumentPath();
// Opens the instrument at `path` as an application does.
HANDLE OpenInstrument(const std::string &path);

// Opens the control device for a request that needs no host role (status,
// sync); INVALID_HANDLE_VALUE when the driver is not there.
HANDLE OpenControl();
// The driver's state; false when it cannot be asked.
bool QueryStatus(ZqlDriverStatus *status);
// Waits until the host has answered every message sent before this call.
bool Sync(HANDLE control);

} // namespace zqlhost
