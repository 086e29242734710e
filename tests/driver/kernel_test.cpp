// The virtual Zelqa driver compiled unchanged over a stand-in kernel, run
// natively: what it does to the control device's protection, which statuses
// it lets a host hand to applications, and how it behaves when another
// thread's request runs at each point where it releases its lock (the
// interleavings the I/O manager may produce, played one by one).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host_protocol.h"
#include "kernel/standin_kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

namespace {

// The instrument's ready probe and read, as the driver relays them.
constexpr ULONG kReady = 0x220028;
constexpr ULONG kRead = 0x220024;
// Release points tried per interleaving: more than any request here takes.
constexpr int kMostReleases = 16;

// One request and its buffer, owned by the test.
struct Request {
    IRP irp = {};
    std::vector<std::uint8_t> buffer;
    NTSTATUS returned = 0;
    bool Done() const { return irp.completions == 1; }
    NTSTATUS Status() const { return irp.IoStatus.Status; }
};

// The loaded driver with its instrument device started.
class Driver {
  public:
    Driver() {
        standin::Reset();
        object_.DriverExtension = &extension_;
        EXPECT_EQ(DriverEntry(&object_, nullptr), STATUS_SUCCESS);
        control_ = standin::Kernel().named;
        EXPECT_EQ(object_.DriverExtension->AddDevice(&object_, &pdo_), STATUS_SUCCESS);
        for (PDEVICE_OBJECT device : standin::Kernel().devices) {
            fdo_ = device != control_ ? device : fdo_;
        }
        Request start;
        start.irp.stack.MajorFunction = IRP_MJ_PNP;
        start.irp.stack.MinorFunction = IRP_MN_START_DEVICE;
        Send(fdo_, &start);
    }

    PDEVICE_OBJECT Control() const { return control_; }
    PDEVICE_OBJECT Instrument() const { return fdo_; }

    NTSTATUS Send(PDEVICE_OBJECT device, Request *request) {
        request->irp.AssociatedIrp.SystemBuffer = request->buffer.empty() ? nullptr : request->buffer.data();
        request->returned = object_.MajorFunction[request->irp.stack.MajorFunction](device, &request->irp);
        return request->returned;
    }

    std::unique_ptr<Request> Major(PDEVICE_OBJECT device, FILE_OBJECT *file, UCHAR major) {
        auto request = std::make_unique<Request>();
        request->irp.stack.MajorFunction = major;
        request->irp.stack.FileObject = file;
        Send(device, request.get());
        return request;
    }

    std::unique_ptr<Request> Ioctl(PDEVICE_OBJECT device, FILE_OBJECT *file, ULONG code,
                                   const std::vector<std::uint8_t> &in, ULONG outLength) {
        auto request = std::make_unique<Request>();
        request->irp.stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
        request->irp.stack.FileObject = file;
        request->irp.stack.Parameters.DeviceIoControl.IoControlCode = code;
        request->irp.stack.Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(in.size());
        request->irp.stack.Parameters.DeviceIoControl.OutputBufferLength = outLength;
        request->buffer.assign(std::max<std::size_t>(in.size(), outLength), 0);
        std::copy(in.begin(), in.end(), request->buffer.begin());
        Send(device, request.get());
        return request;
    }

    // A host's ZQLHOST_NEXT carrying `answer` (and `bytes` of output).
    std::unique_ptr<Request> Next(FILE_OBJECT *host, ZqlHostAnswer answer = {},
                                  const std::vector<std::uint8_t> &bytes = {}) {
        std::vector<std::uint8_t> in(sizeof answer);
        answer.length = static_cast<unsigned>(bytes.size());
        std::memcpy(in.data(), &answer, sizeof answer);
        in.insert(in.end(), bytes.begin(), bytes.end());
        return Ioctl(control_, host, ZQLHOST_NEXT, in, sizeof(ZqlHostMessage) + 64);
    }

    void Attach(FILE_OBJECT *host) {
        Major(control_, host, IRP_MJ_CREATE);
        EXPECT_EQ(Ioctl(control_, host, ZQLHOST_ATTACH, {}, 0)->Status(), STATUS_SUCCESS);
    }

    // The host's handle closes: cleanup, then close.
    void Leave(FILE_OBJECT *host) {
        Major(control_, host, IRP_MJ_CLEANUP);
        Major(control_, host, IRP_MJ_CLOSE);
    }

    ZqlDriverStatus Status() {
        FILE_OBJECT anyone = {};
        std::unique_ptr<Request> status = Ioctl(control_, &anyone, ZQLHOST_STATUS, {}, sizeof(ZqlDriverStatus));
        ZqlDriverStatus counts = {};
        EXPECT_EQ(status->Status(), STATUS_SUCCESS);
        std::memcpy(&counts, status->buffer.data(), sizeof counts);
        return counts;
    }

  private:
    DRIVER_OBJECT object_ = {};
    DRIVER_EXTENSION extension_ = {};
    DEVICE_OBJECT pdo_ = {};
    PDEVICE_OBJECT control_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
};

ZqlHostMessage MessageOf(const Request &next) {
    ZqlHostMessage message = {};
    std::memcpy(&message, next.buffer.data(), sizeof message);
    return message;
}

// The control device is protected before anyone can reach it by name: only
// SYSTEM and Administrators may open it, and its name's subpaths are
// checked alike.
TEST(DriverKernelTest, ControlDeviceOpensOnlyForSystemAndAdministrators) {
    Driver driver;
    const standin::Record &kernel = standin::Kernel();
    ASSERT_TRUE(kernel.daclApplied) << "no access list set on the control device";
    const std::vector<standin::Ace> expected = {{"S-1-5-18", FILE_ALL_ACCESS}, {"S-1-5-32-544", FILE_ALL_ACCESS}};
    EXPECT_EQ(kernel.dacl, expected);
    EXPECT_EQ(kernel.events, (std::vector<std::string>{"dacl", "link"})) << "protected before it has a name";
    EXPECT_NE(kernel.namedCharacteristics & FILE_DEVICE_SECURE_OPEN, 0u);
}

// Whatever status a host answers, an application's request ends with one
// the relay means; anything else is a device error, counted, with no bytes.
TEST(DriverKernelTest, HostStatusesOutsideTheRelaysListBecomeDeviceErrors) {
    const NTSTATUS kUnknownFailure = static_cast<NTSTATUS>(0xC0001234);
    const struct {
        const char *what;
        bool open; // else a 4-byte read
        NTSTATUS answered;
        NTSTATUS completed;
    } cases[] = {
        {"read: success", false, STATUS_SUCCESS, STATUS_SUCCESS},
        {"read: not connected", false, STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED},
        {"read: device error", false, STATUS_IO_DEVICE_ERROR, STATUS_IO_DEVICE_ERROR},
        {"read: invalid parameter", false, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"read: pending", false, STATUS_PENDING, STATUS_IO_DEVICE_ERROR},
        {"read: reparse", false, STATUS_REPARSE, STATUS_IO_DEVICE_ERROR},
        {"read: buffer overflow (a warning)", false, STATUS_BUFFER_OVERFLOW, STATUS_IO_DEVICE_ERROR},
        {"read: no such device", false, STATUS_NO_SUCH_DEVICE, STATUS_IO_DEVICE_ERROR},
        {"read: access denied", false, STATUS_ACCESS_DENIED, STATUS_IO_DEVICE_ERROR},
        {"read: an unknown failure", false, kUnknownFailure, STATUS_IO_DEVICE_ERROR},
        {"open: success", true, STATUS_SUCCESS, STATUS_SUCCESS},
        {"open: no such device", true, STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE},
        {"open: pending", true, STATUS_PENDING, STATUS_IO_DEVICE_ERROR},
        {"open: reparse", true, STATUS_REPARSE, STATUS_IO_DEVICE_ERROR},
        {"open: an unknown failure", true, kUnknownFailure, STATUS_IO_DEVICE_ERROR},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Driver driver;
        FILE_OBJECT host = {};
        FILE_OBJECT app = {};
        driver.Attach(&host);
        std::unique_ptr<Request> next = driver.Next(&host);
        std::unique_ptr<Request> request = c.open ? driver.Major(driver.Instrument(), &app, IRP_MJ_CREATE)
                                                  : driver.Ioctl(driver.Instrument(), &app, kRead, {1, 2, 3, 4}, 4);
        ASSERT_TRUE(next->Done());
        ZqlHostAnswer answer = {MessageOf(*next).id, c.answered, 4, 0};
        std::unique_ptr<Request> following = driver.Next(&host, answer, {0xA1, 0xA2, 0xA3, 0xA4});
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->Status(), c.completed);
        const bool replaced = c.completed != c.answered;
        EXPECT_EQ(driver.Status().replaced, replaced ? 1u : 0u);
        if (!c.open) {
            EXPECT_EQ(request->irp.IoStatus.Information, replaced ? 0u : 4u);
            EXPECT_EQ(request->buffer[0], replaced ? 1 : 0xA1) << "bytes only with a status the relay means";
        }
        EXPECT_EQ(driver.Status().openHandles, c.open && c.completed == STATUS_SUCCESS ? 1u : 0u);
        driver.Leave(&host);
    }
}

// A host leaving (and another attaching) while its ZQLHOST_NEXT is between
// its host check and parking its wait: the departed host's request ends and
// never becomes the wait, the new host's wait is taken, and the next open
// goes to the new host. Played at every release of the lock in that request.
TEST(DriverKernelTest, AHostLeavingDuringItsWaitLeavesNoWaitBehind) {
    for (int at = 1; at <= kMostReleases; ++at) {
        SCOPED_TRACE("another thread runs after release " + std::to_string(at));
        Driver driver;
        FILE_OBJECT departing = {};
        FILE_OBJECT next = {};
        FILE_OBJECT app = {};
        driver.Attach(&departing);
        standin::AtRelease(at, [&] {
            driver.Leave(&departing);
            driver.Attach(&next);
        });
        std::unique_ptr<Request> oldWait = driver.Next(&departing);
        if (!standin::Fired()) {
            ASSERT_GT(at, 2) << "the request released the lock fewer times than it must";
            break; // past the request's last release
        }
        EXPECT_TRUE(oldWait->Done()) << "the departed host's request is left pending";
        std::unique_ptr<Request> newWait = driver.Next(&next);
        EXPECT_FALSE(newWait->Done()) << "the new host's wait was refused with status 0x" << std::hex
                                      << newWait->Status();
        std::unique_ptr<Request> open = driver.Major(driver.Instrument(), &app, IRP_MJ_CREATE);
        ASSERT_TRUE(newWait->Done()) << "the open went elsewhere";
        EXPECT_EQ(MessageOf(*newWait).kind, static_cast<unsigned>(ZQL_MSG_OPEN));
        driver.Leave(&next);
        EXPECT_TRUE(open->Done());
    }
}

// Interface changes decided under the lock and applied outside it, with
// another thread changing the host at each release: the last change applied
// is the one the final state calls for, and no two changes repeat.
TEST(DriverKernelTest, InterfaceChangesApplyInOrder) {
    enum Step { kAttachFirst, kSwitchOn, kLeaveFirst };
    const struct {
        const char *what;
        Step request;    // the request under way, by the first host
        bool otherJoins; // meanwhile: the first host leaves, or a second attaches
        bool finallyOn;
    } cases[] = {
        {"a host attaches while it leaves", kAttachFirst, false, false},
        {"a host switches the interface on while it leaves", kSwitchOn, false, false},
        {"a host leaves while another attaches", kLeaveFirst, true, true},
    };
    for (const auto &c : cases) {
        for (int at = 1; at <= kMostReleases; ++at) {
            SCOPED_TRACE(std::string(c.what) + ", other thread after release " + std::to_string(at));
            Driver driver;
            FILE_OBJECT first = {};
            FILE_OBJECT second = {};
            if (c.request != kAttachFirst) {
                driver.Attach(&first);
            }
            if (c.request == kSwitchOn) {
                driver.Ioctl(driver.Control(), &first, ZQLHOST_INTERFACE, {0}, 0);
            }
            standin::AtRelease(at, [&] {
                if (c.otherJoins) {
                    driver.Attach(&second);
                } else {
                    driver.Leave(&first);
                }
            });
            switch (c.request) {
            case kAttachFirst:
                driver.Major(driver.Control(), &first, IRP_MJ_CREATE);
                driver.Ioctl(driver.Control(), &first, ZQLHOST_ATTACH, {}, 0);
                break;
            case kSwitchOn:
                driver.Ioctl(driver.Control(), &first, ZQLHOST_INTERFACE, {1}, 0);
                break;
            case kLeaveFirst:
                driver.Leave(&first);
                break;
            }
            if (!standin::Fired()) {
                ASSERT_GT(at, 2) << "the request released the lock fewer times than it must";
                break; // past the request's last release
            }
            const std::vector<bool> &applied = standin::Kernel().interfaceStates;
            const bool on = !applied.empty() && applied.back();
            EXPECT_EQ(on, c.finallyOn) << "the interface as last applied";
            EXPECT_EQ(driver.Status().interfaceEnabled, c.finallyOn ? 1u : 0u);
            for (std::size_t i = 1; i < applied.size(); ++i) {
                EXPECT_NE(applied[i], applied[i - 1]) << "change " << i << " repeats the one before";
            }
        }
    }
}

// A ready probe through a host that answers it, as a baseline for the
// interleavings above: the stand-in relays like the kernel.
TEST(DriverKernelTest, ARequestIsRelayedAndAnswered) {
    Driver driver;
    FILE_OBJECT host = {};
    FILE_OBJECT app = {};
    driver.Attach(&host);
    EXPECT_EQ(standin::Kernel().interfaceStates, std::vector<bool>{true});
    std::unique_ptr<Request> wait = driver.Next(&host);
    EXPECT_EQ(wait->returned, STATUS_PENDING);
    std::unique_ptr<Request> ready = driver.Ioctl(driver.Instrument(), &app, kReady, {}, 0);
    EXPECT_EQ(ready->returned, STATUS_PENDING);
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(MessageOf(*wait).code, kReady);
    std::unique_ptr<Request> nextWait = driver.Next(&host, {MessageOf(*wait).id, STATUS_SUCCESS, 0, 0});
    ASSERT_TRUE(ready->Done());
    EXPECT_EQ(ready->Status(), STATUS_SUCCESS);
    driver.Leave(&host);
    EXPECT_EQ(standin::Kernel().interfaceStates, (std::vector<bool>{true, false}));
}

} // namespace
