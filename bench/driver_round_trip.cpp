// The cost of one request through the virtual Zelqa driver and its host,
// beside the same request to the stand-in, in one run: a ready probe, a
// 16 KiB stream write and a 64 KiB read. Both answer from the same virtual
// instrument (this program is the driver's host). Beside them, the driver's
// status request, which the driver answers alone: Wine's own cost of a
// request to a driver, without the host. Prints the median time of each and
// their ratio; fails only when a request fails or a read brings
// other bytes than the stand-in's.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "host.h"
#include "link/control_requests.h"
#include "virtual_instrument/instrument.h"
#include "virtual_instrument/standin.h"

namespace {

using Clock = std::chrono::steady_clock;
using CreateFileFunction = HANDLE(WINAPI *)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
using ControlFunction = BOOL(WINAPI *)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

// Repetitions of each request: enough for a steady median in a few seconds.
constexpr int kReadyRounds = 2000;
constexpr int kStreamRounds = 500;
constexpr int kReadRounds = 200;
constexpr DWORD kStreamBytes = 16384;
constexpr DWORD kReadBytes = 65536;
// The pre-trigger read: 65,536 bytes of the acquisition memory.
const std::uint8_t kPreTriggerRequest[] = {0x03, 0x0B, 0x03, 0xFF};

void *StandIn(const char *name) {
    for (int i = 0; i < vi::kStandInCount; ++i) {
        if (std::strcmp(vi::kStandIns[i].name, name) == 0) {
            return vi::kStandIns[i].function;
        }
    }
    return nullptr;
}

// One way to the instrument (each request passes one buffer as input and
// output, as the library does): a handle and the DeviceIoControl that serves it.
struct Path {
    const char *name;
    HANDLE handle;
    ControlFunction control;
    bool Call(DWORD code, const void *in, DWORD inLength, void *out, DWORD outLength, DWORD *returned) const {
        DWORD count = 0;
        const BOOL ok = control(handle, code, const_cast<void *>(in), inLength, out, outLength, &count, nullptr);
        if (returned != nullptr) {
            *returned = count;
        }
        return ok != FALSE;
    }
};

// The median of `rounds` timings of `timed`, after `setup` (untimed) each time.
double MedianMicroseconds(int rounds, const std::function<void()> &setup, const std::function<bool()> &timed,
                          bool *failed) {
    std::vector<double> times;
    times.reserve(static_cast<std::size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        setup();
        const Clock::time_point start = Clock::now();
        const bool ok = timed();
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        *failed = *failed || !ok;
    }
    std::nth_element(times.begin(), times.begin() + rounds / 2, times.end());
    return times[static_cast<std::size_t>(rounds / 2)];
}

struct Figures {
    double ready, stream, read;
    std::vector<std::uint8_t> lastRead;
};

Figures Measure(const Path &path, bool *failed) {
    using namespace zqlusb;
    Figures f{};
    f.ready = MedianMicroseconds(
        kReadyRounds, [] {}, [&] { return path.Call(IOCTL_SCOPE_READY, nullptr, 0, nullptr, 0, nullptr); }, failed);
    std::vector<std::uint8_t> stream(kStreamBytes);
    for (std::size_t i = 0; i < stream.size(); i += 2) {
        stream[i] = 0x02; // data writes to the latched register
        stream[i + 1] = static_cast<std::uint8_t>(i);
    }
    f.stream = MedianMicroseconds(
        kStreamRounds, [] {},
        [&] { return path.Call(IOCTL_SCOPE_WRITE_STREAM, stream.data(), kStreamBytes, stream.data(), 0, nullptr); },
        failed);
    std::vector<std::uint8_t> area(kReadBytes);
    std::vector<std::uint8_t> request; // the library passes one buffer for input and output
    f.read = MedianMicroseconds(
        kReadRounds,
        [&] {
            request.assign(kPreTriggerRequest, kPreTriggerRequest + sizeof kPreTriggerRequest);
            *failed = *failed || !path.Call(IOCTL_SCOPE_WRITE_STREAM, request.data(), sizeof kPreTriggerRequest,
                                            request.data(), 0, nullptr);
        },
        [&] {
            DWORD returned = 0;
            return path.Call(IOCTL_SCOPE_READ, area.data(), kReadBytes, area.data(), kReadBytes, &returned) &&
                   returned == kReadBytes;
        },
        failed);
    f.lastRead = area;
    return f;
}

DWORD WINAPI Serve(LPVOID host) {
    return static_cast<zqlhost::Host *>(host)->Serve();
}

} // namespace

int main() {
    vi::ResetDevice();
    vi::Device().acquisition.freeRunning = false; // the same record for every read, both ways
    zqlhost::Host host;
    std::string error;
    if (!host.Attach(&error) || CreateThread(nullptr, 0, Serve, &host, 0, nullptr) == nullptr) {
        std::fprintf(stderr, "driver round trip: %s\n", error.c_str());
        return 1;
    }
    const std::string devicePath = zqlhost::InstrumentPath();
    const Path driver{"driver and host", zqlhost::OpenInstrument(devicePath), DeviceIoControl};
    auto standInOpen = reinterpret_cast<CreateFileFunction>(StandIn("CreateFileA"));
    const Path standIn{"stand-in", standInOpen(vi::kDevicePath, GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr),
                       reinterpret_cast<ControlFunction>(StandIn("DeviceIoControl"))};
    if (driver.handle == INVALID_HANDLE_VALUE || standIn.handle == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "driver round trip: cannot open the instrument both ways\n");
        return 1;
    }
    bool failed = false;
    const Figures viaStandIn = Measure(standIn, &failed);
    const Figures viaDriver = Measure(driver, &failed);
    HANDLE control = zqlhost::OpenControl();
    const double status = MedianMicroseconds(
        kReadyRounds, [] {},
        [&] {
            ZqlDriverStatus counts = {};
            DWORD returned = 0;
            return DeviceIoControl(control, ZQLHOST_STATUS, nullptr, 0, &counts, sizeof counts, &returned,
                                   nullptr) != FALSE;
        },
        &failed);
    std::printf("per request, median microseconds   stand-in   driver and host   ratio\n");
    const struct {
        const char *what;
        double standIn, driver;
    } rows[] = {{"ready probe", viaStandIn.ready, viaDriver.ready},
                {"16 KiB stream write", viaStandIn.stream, viaDriver.stream},
                {"64 KiB read", viaStandIn.read, viaDriver.read}};
    for (const auto &row : rows) {
        std::printf("%-35s %8.1f %17.1f %7.0fx\n", row.what, row.standIn, row.driver, row.driver / row.standIn);
    }
    std::printf("%-35s %8s %17.1f\n", "driver status (no host)", "", status);
    if (viaDriver.lastRead != viaStandIn.lastRead) {
        std::fprintf(stderr, "driver round trip: the 64 KiB read brought other bytes through the driver\n");
        failed = true;
    }
    if (failed) {
        std::fprintf(stderr, "driver round trip: a request failed\n");
        return 1;
    }
    return 0;
}
