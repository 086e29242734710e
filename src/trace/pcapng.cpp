#include "trace/pcapng.h"

namespace zqltrace {
namespace {

constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kShbUserApplication = 4;
constexpr std::uint16_t kIfTimestampResolution = 9;
constexpr std::uint8_t kNanoseconds = 9; // if_tsresol: 10^-9 s
constexpr char kUserApplication[] = "zqlusb " ZQLUSB_VERSION_TEXT " trace";

std::size_t Padded(std::size_t length) {
    return (length + 3) & ~std::size_t{3};
}

// An option: code, length, value, zero padding; returns the bytes written.
std::size_t PutOption(std::uint8_t *at, std::uint16_t code, const void *value, std::size_t length) {
    PutU16(at, code);
    PutU16(at + 2, static_cast<std::uint32_t>(length));
    const auto *bytes = static_cast<const std::uint8_t *>(value);
    std::size_t i = 0;
    for (; i < length; ++i) {
        at[4 + i] = bytes[i];
    }
    for (; i < Padded(length); ++i) {
        at[4 + i] = 0;
    }
    return 4 + Padded(length);
}

// Closes a block of `length` bytes so far (its length word at offset 4 and
// the trailer); returns the block's length.
std::size_t CloseBlock(std::uint8_t *block, std::size_t length) {
    const std::size_t total = length + 4;
    PutU32(block + 4, static_cast<std::uint32_t>(total));
    PutU32(block + length, static_cast<std::uint32_t>(total));
    return total;
}

} // namespace

std::size_t FileHead(std::uint8_t *head) {
    // Section header: type, length, byte-order magic, version 1.0, section
    // length unknown (-1), shb_userappl, end of options.
    PutU32(head, kSectionHeader);
    PutU32(head + 8, kByteOrderMagic);
    PutU16(head + 12, 1);
    PutU16(head + 14, 0);
    PutU64(head + 16, ~std::uint64_t{0});
    std::size_t at = 24;
    at += PutOption(head + at, kShbUserApplication, kUserApplication, sizeof kUserApplication - 1);
    at += PutOption(head + at, kOptionEnd, nullptr, 0);
    const std::size_t section = CloseBlock(head, at);

    // Interface description: link type, reserved, snapshot length 0 (no
    // limit), if_tsresol, end of options.
    std::uint8_t *idb = head + section;
    PutU32(idb, kInterfaceDescription);
    PutU16(idb + 8, kLinkType);
    PutU16(idb + 10, 0);
    PutU32(idb + 12, 0);
    at = 16;
    at += PutOption(idb + at, kIfTimestampResolution, &kNanoseconds, 1);
    at += PutOption(idb + at, kOptionEnd, nullptr, 0);
    return section + CloseBlock(idb, at);
}

std::size_t FinishEnhancedPacket(std::uint8_t *block, std::size_t length, std::uint64_t time) {
    const std::size_t data = length - kEpbHeader;
    PutU32(block, kEnhancedPacket);
    PutU32(block + 8, 0); // interface 0
    PutU32(block + 12, static_cast<std::uint32_t>(time >> 32));
    PutU32(block + 16, static_cast<std::uint32_t>(time));
    PutU32(block + 20, static_cast<std::uint32_t>(data));
    PutU32(block + 24, static_cast<std::uint32_t>(data));
    std::size_t end = length;
    while (end != Padded(length)) {
        block[end++] = 0;
    }
    return CloseBlock(block, end);
}

} // namespace zqltrace
