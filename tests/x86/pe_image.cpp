// Reads a PE32 DLL: headers, sections, base relocations, imports, exports.
#include "x86/pe_image.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace x86 {

namespace {

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint16_t kOptionalMagicPe32 = 0x10B;
constexpr std::uint32_t kPage = 4096; // the x86 page, the unit of mapping
constexpr std::uint16_t kRelocationHighLow = 3;
constexpr std::uint16_t kRelocationPadding = 0;
// Data directories of the optional header.
constexpr int kExportDirectory = 0;
constexpr int kImportDirectory = 1;
constexpr int kRelocationDirectory = 5;

std::uint16_t U16(const std::vector<std::uint8_t> &b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t U32(const std::vector<std::uint8_t> &b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 |
                                      static_cast<std::uint32_t>(b[at + 3]) << 24);
}

bool Fits(const std::vector<std::uint8_t> &b, std::size_t at, std::size_t length) {
    return at <= b.size() && length <= b.size() - at;
}

// A NUL-terminated name inside the image, or false.
bool NameAt(const std::vector<std::uint8_t> &memory, Address rva, std::string &name) {
    name.clear();
    for (std::size_t at = rva; at < memory.size(); ++at) {
        if (memory[at] == 0) {
            return true;
        }
        name.push_back(static_cast<char>(memory[at]));
    }
    return false;
}

struct Directory {
    Address rva = 0;
    std::uint32_t size = 0;
};

bool ReadSections(const std::vector<std::uint8_t> &file, std::size_t headers, int count, PeImage &image,
                  std::string &why) {
    for (int i = 0; i < count; ++i) {
        const std::size_t at = headers + static_cast<std::size_t>(i) * 40;
        if (!Fits(file, at, 40)) {
            why = "the section table runs past the end of the file";
            return false;
        }
        const std::uint32_t virtualSize = U32(file, at + 8), rva = U32(file, at + 12);
        const std::uint32_t rawSize = U32(file, at + 16), rawAt = U32(file, at + 20);
        const std::uint32_t copied = std::min(rawSize, virtualSize == 0 ? rawSize : virtualSize);
        if (!Fits(file, rawAt, copied) || !Fits(image.memory, rva, copied)) {
            why = "section " + std::to_string(i) + " lies outside the file or the image";
            return false;
        }
        std::copy_n(file.begin() + rawAt, copied, image.memory.begin() + rva);
    }
    return true;
}

bool ReadRelocations(const PeImage &image, Directory directory, std::vector<Address> &out, std::string &why) {
    const std::vector<std::uint8_t> &m = image.memory;
    for (std::size_t at = directory.rva; at + 8 <= std::size_t{directory.rva} + directory.size;) {
        const std::uint32_t page = U32(m, at), blockSize = U32(m, at + 4);
        if (blockSize < 8 || !Fits(m, at, blockSize)) {
            why = "a base relocation block has a bad size";
            return false;
        }
        for (std::size_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            const std::uint16_t entry = U16(m, e);
            const auto type = static_cast<std::uint16_t>(entry >> 12);
            const Address rva = page + (entry & 0xFFFu);
            if (type == kRelocationHighLow && Fits(m, rva, 4)) {
                out.push_back(rva);
            } else if (type == kRelocationHighLow) {
                why = "a base relocation lies outside the image";
                return false;
            } else if (type != kRelocationPadding) {
                why = "base relocation of type " + std::to_string(type) + ", which a 32-bit image does not use";
                return false;
            }
        }
        at += blockSize;
    }
    return true;
}

bool ReadImports(PeImage &image, Directory directory, std::string &why) {
    const std::vector<std::uint8_t> &m = image.memory;
    for (std::size_t at = directory.rva; Fits(m, at, 20) && U32(m, at + 12) != 0; at += 20) {
        std::string dll;
        if (!NameAt(m, U32(m, at + 12), dll)) {
            why = "an import's DLL name runs past the image";
            return false;
        }
        std::transform(dll.begin(), dll.end(), dll.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        const Address names = U32(m, at) != 0 ? U32(m, at) : U32(m, at + 16);
        const Address slots = U32(m, at + 16);
        for (std::size_t k = 0; Fits(m, names + k * 4, 4) && U32(m, names + k * 4) != 0; ++k) {
            const std::uint32_t entry = U32(m, names + k * 4);
            Import import{dll, "", static_cast<Address>(slots + k * 4)};
            if ((entry & 0x80000000u) != 0) {
                why = dll + " imported by ordinal " + std::to_string(entry & 0xFFFFu);
                return false;
            }
            if (!NameAt(m, entry + 2, import.name)) { // after the two-byte hint
                why = "an import's name runs past the image";
                return false;
            }
            image.imports.push_back(import);
        }
    }
    return true;
}

bool ReadExports(PeImage &image, Directory directory, std::string &why) {
    const std::vector<std::uint8_t> &m = image.memory;
    if (directory.size == 0) {
        return true;
    }
    if (!Fits(m, directory.rva, 40)) {
        why = "the export directory lies outside the image";
        return false;
    }
    const std::uint32_t names = U32(m, directory.rva + 24);
    const Address functions = U32(m, directory.rva + 28), nameTable = U32(m, directory.rva + 32),
                  ordinals = U32(m, directory.rva + 36);
    for (std::uint32_t i = 0; i < names; ++i) {
        std::string name;
        if (!Fits(m, nameTable + i * 4, 4) || !Fits(m, ordinals + i * 2, 2) ||
            !NameAt(m, U32(m, nameTable + i * 4), name) || !Fits(m, functions + U16(m, ordinals + i * 2) * 4u, 4)) {
            why = "export " + std::to_string(i) + " lies outside the image";
            return false;
        }
        image.exports[name] = U32(m, functions + U16(m, ordinals + i * 2) * 4u);
    }
    return true;
}

} // namespace

bool ReadPeImage(const std::vector<std::uint8_t> &file, PeImage &image, std::string &why) {
    image = PeImage{};
    if (!Fits(file, 0, 64) || file[0] != 'M' || file[1] != 'Z' || !Fits(file, U32(file, 0x3C), 24 + 96)) {
        why = "not a Windows executable";
        return false;
    }
    const std::size_t pe = U32(file, 0x3C), optional = pe + 24;
    if (U32(file, pe) != 0x00004550 || U16(file, pe + 4) != kMachineI386 || U16(file, optional) != kOptionalMagicPe32) {
        why = "not a 32-bit x86 image";
        return false;
    }
    image.characteristics = U16(file, pe + 22);
    image.entry = U32(file, optional + 16);
    image.preferredBase = U32(file, optional + 28);
    image.size = (U32(file, optional + 56) + kPage - 1) / kPage * kPage;
    const std::uint32_t headerSize = U32(file, optional + 60);
    const std::uint32_t directories = U32(file, optional + 92);
    if (image.size == 0 || headerSize > image.size || !Fits(file, 0, headerSize) ||
        directories <= kRelocationDirectory || !Fits(file, optional + 96, directories * 8u)) {
        why = "the optional header's sizes are inconsistent";
        return false;
    }
    auto directory = [&](int index) {
        return Directory{U32(file, optional + 96 + index * 8u), U32(file, optional + 100 + index * 8u)};
    };
    image.memory.assign(image.size, 0);
    std::copy_n(file.begin(), headerSize, image.memory.begin());
    return ReadSections(file, optional + U16(file, pe + 20), U16(file, pe + 6), image, why) &&
           ReadRelocations(image, directory(kRelocationDirectory), image.relocations, why) &&
           ReadImports(image, directory(kImportDirectory), why) && ReadExports(image, directory(kExportDirectory), why);
}

std::vector<std::uint8_t> Relocated(const PeImage &image, Address base) {
    std::vector<std::uint8_t> memory = image.memory;
    const std::uint32_t delta = base - image.preferredBase;
    for (Address rva : image.relocations) {
        const std::uint32_t moved = U32(memory, rva) + delta;
        for (int i = 0; i < 4; ++i) {
            memory[rva + i] = static_cast<std::uint8_t>(moved >> (8 * i));
        }
    }
    return memory;
}

bool ReadFile(const std::string &path, std::vector<std::uint8_t> &bytes) {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.good() || in.eof();
}

} // namespace x86
