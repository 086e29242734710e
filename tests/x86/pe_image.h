// A 32-bit Windows DLL file read for loading into the emulated processor:
// its sections laid out as the Windows loader lays them out, its base
// relocations, its imports by name and its exports by name. Pure functions
// over the file's bytes; nothing here knows the emulator.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace x86 {

using Address = std::uint32_t;

struct Import {
    std::string dll;  // as the import table names it, lower-cased
    std::string name; // the function's export name
    Address slot;     // the RVA of its import address table entry
};

struct PeImage {
    Address preferredBase = 0;
    std::uint32_t size = 0;           // SizeOfImage, rounded up to whole pages
    Address entry = 0;                // RVA of the entry point, 0 for none
    std::vector<std::uint8_t> memory; // the image as mapped at preferredBase
    std::vector<Address> relocations; // RVAs of 32-bit absolute addresses
    std::vector<Import> imports;
    std::map<std::string, Address> exports; // name to RVA
    std::uint16_t characteristics = 0;      // of the file header
};

// Reads a PE32 DLL for the i386 machine. Returns false with the reason in
// `why` for anything else (a 64-bit image, a truncated file, an import by
// ordinal, a section outside the image).
bool ReadPeImage(const std::vector<std::uint8_t> &file, PeImage &image, std::string &why);

// The image's memory with every relocation moved from preferredBase to `base`.
std::vector<std::uint8_t> Relocated(const PeImage &image, Address base);

// The whole file, or false.
bool ReadFile(const std::string &path, std::vector<std::uint8_t> &bytes);

} // namespace x86
