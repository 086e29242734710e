// The fixture of every test: a new virtual instrument and a freshly loaded
// library; afterwards, a check that the run broke no rule of the protocol or
// of the Win32 calls and leaked nothing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "link/commands.h"
#include "link/control_requests.h"
#include "support/bytes.h"
#include "virtual_instrument/instrument.h"
#include "zqlusb.h"

namespace testbed {

using zqlusb::IOCTL_SCOPE_READ;
using zqlusb::IOCTL_SCOPE_READY;
using zqlusb::IOCTL_SCOPE_WRITE_RAW;
using zqlusb::IOCTL_SCOPE_WRITE_STREAM;

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    vi::Instrument &Device() { return vi::Device(); }
    // A new instrument and a freshly loaded library, for table-driven tests
    // whose cases each need the load-time state.
    void Restart();
    // Opens the instrument and forgets the transfers of the open.
    void Open();
    // The bytes of the write-stream transfers, in order.
    std::vector<Bytes> Streams() const;
    // All transfers' control codes, in order.
    std::vector<std::uint32_t> Codes() const;
    // How many of `calls` transfers made with no open handle the instrument
    // logs (kTransfersWithoutHandleLogged).
    static std::size_t WithoutHandle(std::size_t calls);

    // Set by tests that provoke errors on purpose.
    bool allowProtocolErrors = false;
    bool allowCallErrors = false;

  private:
    int driverHandlesAtStart_ = -1; // the driver's count at the start, where there is a driver
};

} // namespace testbed
