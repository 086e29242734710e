// Reading a session trace's framing: the file's bytes, the pcapng blocks
// and their checks (section header, interface description with its
// timestamp resolution, enhanced packets), the ending the reader reports,
// and the loop that hands out one record per packet. What a packet's data
// holds is read in records.cpp.
#include "trace_reader/trace_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zqltrace {

namespace {

// pcapng: the byte order read the other way, and classic pcap files.
constexpr std::uint32_t kSwappedByteOrderMagic = 0x4D3C2B1A;
constexpr std::uint32_t kClassicPcapMagics[] = {0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1};
constexpr std::size_t kBlockFrame = 12;    // type, leading length, trailing length
constexpr std::size_t kSectionFixed = 16;  // magic, version, section length
constexpr std::size_t kInterfaceFixed = 8; // link type, reserved, snap length
constexpr std::size_t kPacketFixed = 20;   // interface, timestamp, two lengths
constexpr std::uint16_t kOptionEnd = 0;
constexpr std::uint16_t kOptionTimeResolution = 9; // if_tsresol
constexpr int kDefaultResolution = 6;              // microseconds, when if_tsresol is absent
constexpr int kFinestResolution = 18;              // 10^-18 s still fits a u64 unit count
constexpr std::uint64_t kNanosecondsPerSecond = 1000000000;

std::string At(std::size_t offset) {
    return "byte offset " + std::to_string(offset);
}

bool AllZero(ByteSpan bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::string Hex32(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// Units per second of an if_tsresol value, or 0 when zqlusb cannot use it
// (a power of two, or finer than a u64 count of units per second).
std::uint64_t UnitsPerSecond(std::uint8_t resolution) {
    if ((resolution & 0x80) != 0 || resolution > kFinestResolution) {
        return 0;
    }
    std::uint64_t units = 1;
    for (int i = 0; i < resolution; ++i) {
        units *= 10;
    }
    return units;
}

std::uint64_t Nanoseconds(std::uint64_t units, std::uint64_t perSecond) {
    if (perSecond >= kNanosecondsPerSecond) {
        return units / (perSecond / kNanosecondsPerSecond);
    }
    return units * (kNanosecondsPerSecond / perSecond); // wraps for absurd times; no undefined behaviour
}

} // namespace

std::uint16_t Le16(ByteSpan b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t Le32(ByteSpan b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

std::uint64_t Le64(ByteSpan b, std::size_t at) {
    return static_cast<std::uint64_t>(Le32(b, at)) | static_cast<std::uint64_t>(Le32(b, at + 4)) << 32;
}

bool Reader::Stop(Ending ending, std::string sentence) {
    ending_ = ending;
    problem_ = std::move(sentence);
    return false;
}

// "record 8 (byte offset 412)": the number the next record should carry.
std::string Reader::NextRecordName(std::size_t offset) const {
    if (!lastNumber_) {
        return "the first record (" + At(offset) + ")";
    }
    return "record " + std::to_string(*lastNumber_ + 1ull) + " (" + At(offset) + ")";
}

bool Reader::NextBlock(Block *block) {
    const ByteSpan rest = file_.subspan(at_);
    const std::size_t offset = at_;
    if (rest.empty() || (sawSection_ && AllZero(rest))) {
        if (!sawSection_) {
            return Stop(Ending::kForeign, "The file is empty: it is not a zqlusb trace.");
        }
        if (lastNumber_ && lastKind_ == kSessionEnd && rest.empty()) {
            return Stop(Ending::kClosed, "A complete trace of " + std::to_string(recordsRead_) + " records, closed.");
        }
        if (!rest.empty()) {
            return Stop(Ending::kNotClosed, "Readable, but not closed: " + std::to_string(rest.size()) +
                                                " bytes of unused space follow the last block, from " + At(offset) +
                                                " (the process ended before the library closed the file).");
        }
        const std::string last = lastNumber_ ? "the last record, " + std::to_string(*lastNumber_) + "," : "no record";
        return Stop(Ending::kNotClosed, "Readable, but not closed: " + last +
                                            " is not the session's end (the process ended before the library was "
                                            "unloaded, or a newer part of the trace continues it).");
    }
    if (rest.size() < 8) {
        return Stop(Ending::kTruncated, "Truncated: the file ends " + std::to_string(rest.size()) + " bytes into " +
                                            NextRecordName(offset) + ".");
    }
    block->offset = offset;
    block->type = Le32(rest, 0);
    block->length = Le32(rest, 4);
    if (!sawSection_) {
        return true; // the section header's checks decide what the file is
    }
    if (block->length < kBlockFrame || block->length % 4 != 0) {
        return Stop(Ending::kDamaged, "Damaged: the block of " + NextRecordName(offset) + " gives its length as " +
                                          std::to_string(block->length) + ", not a multiple of 4 of at least 12.");
    }
    if (block->length > rest.size()) {
        return Stop(Ending::kTruncated, "Truncated: the file ends inside " + NextRecordName(offset) +
                                            ": its block is " + std::to_string(block->length) + " bytes long, " +
                                            std::to_string(rest.size()) + " remain.");
    }
    if (Le32(rest, block->length - 4) != block->length) {
        if (AllZero(rest.subspan(block->length - 4))) {
            return Stop(Ending::kTruncated, "Truncated: " + NextRecordName(offset) +
                                                " was not written completely (the file stopped while it was written).");
        }
        return Stop(Ending::kDamaged, "Damaged: the block of " + NextRecordName(offset) +
                                          " ends with another length than it starts with.");
    }
    block->body = rest.subspan(8, block->length - kBlockFrame);
    at_ += block->length;
    return true;
}

bool Reader::Section(const Block &block) {
    const ByteSpan rest = file_.subspan(block.offset);
    const std::string where = "the section header (" + At(block.offset) + ")";
    if (rest.size() < kBlockFrame + kSectionFixed) {
        return Stop(Ending::kTruncated, "Truncated: the file ends inside " + where + ".");
    }
    const std::uint32_t magic = Le32(rest, 8);
    if (magic == kSwappedByteOrderMagic) {
        return Stop(Ending::kForeign, "Foreign: a big-endian pcapng section (" + At(block.offset) +
                                          "); zqlusb traces are little-endian.");
    }
    if (magic != kByteOrderMagic) {
        return Stop(Ending::kDamaged, "Damaged: " + where + " has no valid byte-order magic.");
    }
    if (Le16(rest, 12) != 1) {
        return Stop(Ending::kForeign,
                    "Foreign: " + where + " is of pcapng version " + std::to_string(Le16(rest, 12)) + ", not 1.");
    }
    if (block.length < kBlockFrame + kSectionFixed || block.length % 4 != 0) {
        return Stop(Ending::kDamaged,
                    "Damaged: " + where + " gives its length as " + std::to_string(block.length) + ".");
    }
    if (block.length > rest.size()) {
        return Stop(Ending::kTruncated, "Truncated: the file ends inside " + where + ".");
    }
    if (Le32(rest, block.length - 4) != block.length) {
        return Stop(Ending::kDamaged, "Damaged: " + where + " ends with another length than it starts with.");
    }
    sawSection_ = true;
    interfaces_.clear(); // interface numbers start again in every section
    at_ = block.offset + block.length;
    return true;
}

bool Reader::InterfaceBlock(const Block &block) {
    const std::string where = "the interface description (" + At(block.offset) + ")";
    if (block.body.size() < kInterfaceFixed) {
        return Stop(Ending::kDamaged, "Damaged: " + where + " is too short.");
    }
    const std::uint16_t linkType = Le16(block.body, 0);
    if (linkType != kLinkType) {
        return Stop(Ending::kForeign, "Foreign: " + where + " has link type " + std::to_string(linkType) + ", not " +
                                          std::to_string(kLinkType) + " (exported PDUs): not a zqlusb trace.");
    }
    int resolution = kDefaultResolution;
    ByteSpan options = block.body.subspan(kInterfaceFixed);
    while (options.size() >= 4) {
        const std::uint16_t code = Le16(options, 0);
        const std::uint16_t length = Le16(options, 2);
        const std::size_t padded = (length + 3u) & ~std::size_t{3};
        if (code == kOptionEnd) {
            break;
        }
        if (padded > options.size() - 4) {
            return Stop(Ending::kDamaged, "Damaged: an option of " + where + " runs past the block.");
        }
        if (code == kOptionTimeResolution && length == 1) {
            resolution = options[4];
        }
        options = options.subspan(4 + padded);
    }
    const std::uint64_t perSecond = UnitsPerSecond(static_cast<std::uint8_t>(resolution));
    if (perSecond == 0) {
        return Stop(Ending::kForeign, "Foreign: " + where + " has a timestamp resolution (" +
                                          std::to_string(resolution) + ") that zqlusb never writes.");
    }
    interfaces_.push_back({perSecond});
    return true;
}

bool Reader::Packet(const Block &block, Record *record) {
    const std::string name = NextRecordName(block.offset);
    const ByteSpan body = block.body;
    if (body.size() < kPacketFixed) {
        return Stop(Ending::kDamaged, "Damaged: the block of " + name + " is too short for a packet.");
    }
    const std::uint32_t interface = Le32(body, 0);
    if (interface >= interfaces_.size()) {
        return Stop(Ending::kDamaged, "Damaged: " + name + " names interface " + std::to_string(interface) +
                                          ", which the file does not describe.");
    }
    const std::uint32_t captured = Le32(body, 12);
    const std::uint32_t original = Le32(body, 16);
    if (captured > body.size() - kPacketFixed) {
        return Stop(Ending::kDamaged, "Damaged: " + name + " claims " + std::to_string(captured) +
                                          " bytes of data, more than its block holds.");
    }
    if (captured != original) {
        return Stop(Ending::kDamaged, "Damaged: " + name + " was cut to " + std::to_string(captured) + " of its " +
                                          std::to_string(original) + " bytes.");
    }
    const std::uint64_t units = static_cast<std::uint64_t>(Le32(body, 4)) << 32 | Le32(body, 8);
    record->time = Nanoseconds(units, interfaces_[interface].perSecond);
    return RecordBody(body.subspan(kPacketFixed, captured), block.offset, record);
}

bool Reader::Next(Record *record) {
    while (ending_ == Ending::kReading) {
        Block block{};
        if (!NextBlock(&block)) {
            return false;
        }
        if (!sawSection_) {
            const ByteSpan head = file_.subspan(block.offset, 4);
            if (block.type != kSectionHeader) {
                const bool pcap = std::find(std::begin(kClassicPcapMagics), std::end(kClassicPcapMagics),
                                            Le32(head, 0)) != std::end(kClassicPcapMagics);
                return Stop(Ending::kForeign, pcap ? "Foreign: a classic pcap file, not pcapng: not a zqlusb trace."
                                                   : "Foreign: not a pcapng file (it starts with " +
                                                         Hex32(Le32(head, 0)) + "): not a zqlusb trace.");
            }
            if (!Section(block)) {
                return false;
            }
            continue;
        }
        if (block.type == kSectionHeader) {
            at_ = block.offset; // a new section: checked as the first
            sawSection_ = false;
            if (!NextBlock(&block) || !Section(block)) {
                return false;
            }
        } else if (block.type == kInterfaceDescription) {
            if (!InterfaceBlock(block)) {
                return false;
            }
        } else if (block.type == kEnhancedPacket) {
            Record next;
            if (!Packet(block, &next)) {
                return false;
            }
            *record = next;
            lastNumber_ = next.number;
            lastKind_ = next.kind;
            ++recordsRead_;
            return true;
        } else if (block.type == 0) {
            return Stop(Ending::kDamaged, "Damaged: the block of " + NextRecordName(block.offset) + " has type 0.");
        }
        // Other block types (statistics, name resolution, comments) carry no records.
    }
    return false;
}

bool ReadFile(const std::string &path, std::vector<std::uint8_t> *bytes, std::string *error) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    bytes->clear();
    std::uint8_t chunk[1 << 14];
    errno = 0;
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes->insert(bytes->end(), chunk, chunk + n);
    }
    const bool failed = std::ferror(file) != 0;
    const int reason = errno;
    std::fclose(file);
    if (failed) {
        *error = "cannot read " + path + ": " + (reason != 0 ? std::strerror(reason) : "read error");
    }
    return !failed;
}

} // namespace zqltrace
