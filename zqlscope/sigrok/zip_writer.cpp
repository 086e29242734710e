// The zip writer: little-endian headers as the format lays them out.
#include "sigrok/zip_writer.h"

#include <array>
#include <ostream>

namespace zqlscope::sigrok {

namespace {

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

// Record signatures and sizes of the zip format.
constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint64_t kLocalHeaderBytes = 30;
constexpr std::uint64_t kCentralHeaderBytes = 46;
constexpr std::uint64_t kEndBytes = 22;
constexpr std::uint16_t kVersionStored = 10;          // 1.0: stored entries, no extensions
constexpr std::uint16_t kMadeByUnix = (3 << 8) | 20;  // Unix, 2.0: the external attributes are a mode
constexpr std::uint32_t kFileMode = 0100644u << 16;   // a regular file, rw-r--r--
constexpr std::size_t kMaxEntries = 0xFFFF;           // the end record counts entries in 16 bits

class Bytes {
  public:
    Bytes &U16(std::uint32_t v) {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        return *this;
    }
    Bytes &U32(std::uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
    Bytes &Text(std::string_view s) {
        out.insert(out.end(), s.begin(), s.end());
        return *this;
    }
    std::vector<std::uint8_t> out;
};

} // namespace

std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc) {
    crc = ~crc;
    for (const std::uint8_t b : bytes) {
        crc = kCrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

DosTime DosTimeOf(int year, int month, int day, int hours, int minutes, int seconds) {
    DosTime t;
    t.time = static_cast<std::uint16_t>((hours << 11) | (minutes << 5) | (seconds / 2));
    t.date = static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
    return t;
}

ZipWriter::ZipWriter(std::ostream &out, DosTime when, std::uint64_t limit) : out_(out), when_(when), limit_(limit) {}

std::uint64_t ZipWriter::DirectorySize(std::size_t entries, std::size_t nameBytes) const {
    std::uint64_t size = kEndBytes + nameBytes + kCentralHeaderBytes * entries;
    for (const Entry &e : entries_) {
        size += kCentralHeaderBytes + e.name.size();
    }
    return size;
}

void ZipWriter::Put(const std::vector<std::uint8_t> &bytes) {
    out_.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    offset_ += bytes.size();
}

bool ZipWriter::Fits(std::uint64_t bytes, std::size_t entries, std::size_t nameBytes) const {
    const std::uint64_t needed = kLocalHeaderBytes * entries + nameBytes + bytes + DirectorySize(entries, nameBytes);
    return offset_ + needed <= limit_ && entries_.size() + entries <= kMaxEntries;
}

bool ZipWriter::Add(std::string_view name, std::span<const std::uint8_t> bytes) {
    if (!Fits(bytes.size(), 1, name.size())) {
        return false;
    }
    const Entry entry{std::string(name), Crc32(bytes), static_cast<std::uint32_t>(bytes.size()),
                      static_cast<std::uint32_t>(offset_)};
    Bytes header;
    header.U32(kLocalSignature).U16(kVersionStored).U16(0).U16(0).U16(when_.time).U16(when_.date);
    header.U32(entry.crc).U32(entry.size).U32(entry.size).U16(static_cast<std::uint32_t>(name.size())).U16(0);
    header.Text(name);
    Put(header.out);
    out_.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    offset_ += bytes.size();
    entries_.push_back(entry);
    return true;
}

void ZipWriter::Finish() {
    const std::uint64_t start = offset_;
    Bytes directory;
    for (const Entry &e : entries_) {
        directory.U32(kCentralSignature).U16(kMadeByUnix).U16(kVersionStored).U16(0).U16(0);
        directory.U16(when_.time).U16(when_.date).U32(e.crc).U32(e.size).U32(e.size);
        directory.U16(static_cast<std::uint32_t>(e.name.size())).U16(0).U16(0).U16(0).U16(0);
        directory.U32(kFileMode).U32(e.offset).Text(e.name);
    }
    const std::uint64_t size = directory.out.size();
    const auto count = static_cast<std::uint32_t>(entries_.size());
    directory.U32(kEndSignature).U16(0).U16(0).U16(count).U16(count);
    directory.U32(static_cast<std::uint32_t>(size)).U32(static_cast<std::uint32_t>(start)).U16(0);
    Put(directory.out);
}

} // namespace zqlscope::sigrok
