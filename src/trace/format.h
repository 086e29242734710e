// The session trace: what the trace build of zqlusb.dll records, and what
// `zqlscope trace`, the Wireshark dissector and the virtual instrument's
// replay read. Plain constants only, so that every reader and the writer
// take them from one place.
//
// A trace is a pcapng file (little-endian section):
//   - a Section Header Block (shb_userappl: "zqlusb <version> trace");
//   - one Interface Description Block, link type kLinkType (Wireshark's
//     exported-PDU encapsulation), if_tsresol 9 (nanoseconds);
//   - one Enhanced Packet Block per record, interface 0, captured length
//     equal to the original length, the timestamp taken when the call returned.
// A file that was not closed (the process died) may end in zero bytes after
// its last block: that is unused, preallocated space, not damage.
//
// The packet data of every record starts with the exported-PDU tags
//   00 0C 00 06 'z' 'q' 'l' 'u' 's' 'b'   (the dissector's name, unpadded)
//   00 00 00 00                           (end of tags)
// and then the record itself, little-endian:
//   offset 0  u8  kind (RecordKind)
//          1  u8  call: the export's ordinal (1-18), the platform call's
//                 PlatformCall number, or 0
//          2  u8  depth: 0 for a call from the application, 1 and more for
//                 a call made from inside the retry dialog of another
//          3  u8  flags, 0
//          4  u32 thread id
//          8  u32 record number, from 1, one more for each record written;
//                 a trace cut by the size limit starts at a later number
//         12  u32 result (the call's return value; 0 for a call without one)
//         16  fields, to the end of the record, each
//             u16 tag (FieldTag), u32 length, then `length` bytes, unpadded.
#pragma once

#include <cstdint>

namespace zqltrace {

// pcapng's block types and the section's byte-order magic, for the writer
// and the reader alike.
inline constexpr std::uint32_t kSectionHeader = 0x0A0D0D0A;
inline constexpr std::uint32_t kInterfaceDescription = 1;
inline constexpr std::uint32_t kEnhancedPacket = 6;
inline constexpr std::uint32_t kByteOrderMagic = 0x1A2B3C4D;
inline constexpr std::uint32_t kLinkType = 252; // LINKTYPE_WIRESHARK_UPPER_PDU
inline constexpr char kDissectorName[] = "zqlusb";
inline constexpr std::uint32_t kTagBytes = 14; // the two exported-PDU tags above
inline constexpr std::uint32_t kRecordHeader = 16;
inline constexpr std::uint32_t kFieldHeader = 6;

enum RecordKind : std::uint8_t {
    kSessionStart = 1,   // first record of a file; fields: kText (library version),
                         // kArguments (process id, pointer width in bits)
    kExportCall = 2,     // one exported call; call = ordinal
    kPlatformCall = 3,   // one Win32 call the library made; call = PlatformCall
    kRegisterWrites = 4, // a run of consecutive USBSetEPB / USBWriteAddress /
                         // USBWriteData calls of one thread at one depth:
                         // field kWrites; result 0
    kContinued = 5,      // the size limit dropped older records: field kText
                         // names the file that holds them, kArguments the
                         // last record number written there
    kSessionEnd = 6,     // the library was unloaded; no fields
};

// Platform calls, numbered in the order of the seam's table.
enum PlatformCall : std::uint8_t {
    kSetupDiGetClassDevsA = 1,
    kSetupDiEnumDeviceInterfaces = 2,
    kSetupDiGetDeviceInterfaceDetailA = 3,
    kSetupDiDestroyDeviceInfoList = 4,
    kCreateFileA = 5,
    kDeviceIoControl = 6,
    kCloseHandle = 7,
    kMessageBoxA = 8,
};

enum FieldTag : std::uint16_t {
    // The call's integer and pointer arguments in order, each a u64 (pointers
    // as their value, so a null one shows; integers zero-extended). For
    // DeviceIoControl: handle, code, input length, output length.
    kArguments = 1,
    // Bytes of a caller buffer (or, for a platform call, the input buffer)
    // that the call read, as they were when it was called.
    kBytesRead = 2,
    // Bytes that the call changed in a caller buffer (for a platform call, the
    // output buffer up to the returned length): u32 offset into that buffer,
    // then the bytes. A call may have several.
    kBytesChanged = 3,
    // Text: a path (CreateFileA), a dialog's text then its caption
    // (MessageBoxA, two fields), the library version, a file name.
    kText = 4,
    kLastError = 5,      // u32, GetLastError after a platform call
    kReturnedLength = 6, // u32, DeviceIoControl's returned byte count
    // kRegisterWrites: pairs of u8 ordinal (6, 7 or 8) and u8 value (0 for EPB).
    kWrites = 7,
};

} // namespace zqltrace
