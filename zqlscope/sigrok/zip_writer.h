// A zip archive of stored (uncompressed) entries, written front to back to
// any output stream: each entry's local header, its bytes, and at the end
// the central directory. Enough for sigrok sessions, whose samples do not
// compress well as float32 anyway, and it builds wherever the program does
// (no maintained zip library is packaged for the Windows cross builds).
// Without ZIP64: an archive ends at 4 GiB, and the writer refuses an entry
// that would pass that limit rather than write a broken file.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zqlscope::sigrok {

// The CRC-32 of zip (and PNG and Ethernet): reflected polynomial 0xEDB88320.
std::uint32_t Crc32(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0);

// Offsets and sizes in a zip without ZIP64 are 32-bit.
constexpr std::uint64_t kZipLimit = 0xFFFFFFFFull;

// An MS-DOS date and time, as zip headers carry them.
struct DosTime {
    std::uint16_t time = 0;          // hours << 11 | minutes << 5 | seconds / 2
    std::uint16_t date = (0 << 9) | (1 << 5) | 1; // 1980-01-01
};
DosTime DosTimeOf(int year, int month, int day, int hours, int minutes, int seconds);

class ZipWriter {
  public:
    // `limit`: the largest archive allowed, kZipLimit but for tests.
    ZipWriter(std::ostream &out, DosTime when, std::uint64_t limit = kZipLimit);
    // Writes one entry; false, writing nothing, when the entry and the
    // directory it needs would not fit under the limit.
    bool Add(std::string_view name, std::span<const std::uint8_t> bytes);
    // Whether `entries` more entries of `bytes` in all, with names of
    // `nameBytes` in all, would fit under the limit with their directory.
    bool Fits(std::uint64_t bytes, std::size_t entries, std::size_t nameBytes) const;
    // Writes the central directory and the end record; Add after it is a mistake.
    void Finish();
    std::uint64_t Size() const { return offset_; }

  private:
    struct Entry {
        std::string name;
        std::uint32_t crc, size, offset;
    };
    void Put(const std::vector<std::uint8_t> &bytes);
    std::uint64_t DirectorySize(std::size_t entries, std::size_t nameBytes) const;
    std::ostream &out_;
    DosTime when_;
    std::uint64_t limit_;
    std::uint64_t offset_ = 0;
    std::vector<Entry> entries_;
};

} // namespace zqlscope::sigrok
