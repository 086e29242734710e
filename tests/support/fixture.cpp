#include "support/fixture.h"

#include "support/library.h"

namespace testbed {

void DeviceTest::SetUp() {
    vi::ResetDevice();
    LoadFreshLibrary();
    driverHandlesAtStart_ = DriverOpenHandles();
}

void DeviceTest::TearDown() {
    vi::Instrument &device = vi::Device();
    if (!allowProtocolErrors) {
        EXPECT_EQ(device.errors.protocol, std::vector<std::string>{}) << "the instrument could not follow the stream";
    }
    if (!allowCallErrors) {
        EXPECT_EQ(device.errors.calls, std::vector<std::string>{}) << "a Win32 call had arguments Windows refuses";
    }
    EXPECT_TRUE(device.liveInfoSets.empty()) << "a device information set was not released";
    EXPECT_LE(device.openHandles.size(), 1u) << "the library holds more than one device handle";
    if (driverHandlesAtStart_ >= 0) {
        // Earlier tests' libraries were unloaded with their handle open (the
        // library closes nothing at unload): count this test's only.
        EXPECT_LE(DriverOpenHandles() - driverHandlesAtStart_, 1) << "the driver counts more than one new handle";
    }
    UnloadLibrary();
}

void DeviceTest::Restart() {
    UnloadLibrary();
    vi::ResetDevice();
    LoadFreshLibrary();
    driverHandlesAtStart_ = DriverOpenHandles();
}

void DeviceTest::Open() {
    ASSERT_EQ(USBInitDevice(), 0);
    Device().transfers.clear();
}

std::vector<Bytes> DeviceTest::Streams() const {
    std::vector<Bytes> out;
    for (const vi::Transfer &t : vi::Device().TransfersOf(IOCTL_SCOPE_WRITE_STREAM)) {
        out.push_back(t.bytes);
    }
    return out;
}

std::size_t DeviceTest::WithoutHandle(std::size_t calls) {
    return kTransfersWithoutHandleLogged ? calls : 0;
}

std::vector<std::uint32_t> DeviceTest::Codes() const {
    std::vector<std::uint32_t> out;
    for (const vi::Transfer &t : vi::Device().transfers) {
        out.push_back(t.code);
    }
    return out;
}

} // namespace testbed
