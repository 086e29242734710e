// The four device I/O control requests of the instrument's driver.
#pragma once

#include <cstdint>

namespace zqlusb {

// The Windows control-code rule: device type in bits 16-31, access in bits
// 14-15, function number in bits 2-13, transfer method in bits 0-1.
consteval std::uint32_t ControlCode(std::uint32_t deviceType, std::uint32_t function, std::uint32_t method,
                                   std::uint32_t access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

constexpr std::uint32_t kDeviceTypeUnknown = 0x22; // FILE_DEVICE_UNKNOWN
constexpr std::uint32_t kMethodBuffered = 0;
constexpr std::uint32_t kAnyAccess = 0;

consteval std::uint32_t ScopeRequest(std::uint32_t function) {
    return ControlCode(kDeviceTypeUnknown, function, kMethodBuffered, kAnyAccess);
}

// The pending command stream, in one write.
constexpr std::uint32_t IOCTL_SCOPE_WRITE_STREAM = ScopeRequest(6);
// Bytes passed to the instrument unchanged (raw port images, FPGA bit stream).
constexpr std::uint32_t IOCTL_SCOPE_WRITE_RAW = ScopeRequest(7);
// The answer to the most recent read request of the stream.
constexpr std::uint32_t IOCTL_SCOPE_READ = ScopeRequest(9);
// Whether the instrument is present and ready.
constexpr std::uint32_t IOCTL_SCOPE_READY = ScopeRequest(10);

static_assert(IOCTL_SCOPE_WRITE_STREAM == 0x220018);
static_assert(IOCTL_SCOPE_WRITE_RAW == 0x22001C);
static_assert(IOCTL_SCOPE_READ == 0x220024);
static_assert(IOCTL_SCOPE_READY == 0x220028);

} // namespace zqlusb
