#include "fuzz/library_state.h"

#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {
namespace {

constexpr char kLibraryName[] = "libzqlusb.so";

struct Region {
    std::uintptr_t start = 0;
    std::size_t size = 0;
    std::vector<std::uint8_t> saved;
};

std::vector<Region> regions;

bool IsLibrary(const char *path) {
    const std::size_t n = std::strlen(path), m = std::strlen(kLibraryName);
    return n >= m && std::strcmp(path + n - m, kLibraryName) == 0;
}

// The writable load segments, less the part made read-only after relocation.
int CollectRegions(dl_phdr_info *info, std::size_t, void *) {
    if (info->dlpi_name == nullptr || !IsLibrary(info->dlpi_name)) {
        return 0;
    }
    std::uintptr_t relroEnd = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &h = info->dlpi_phdr[i];
        if (h.p_type == PT_GNU_RELRO) {
            relroEnd = info->dlpi_addr + h.p_vaddr + h.p_memsz;
        }
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &h = info->dlpi_phdr[i];
        if (h.p_type != PT_LOAD || (h.p_flags & PF_W) == 0) {
            continue;
        }
        std::uintptr_t start = info->dlpi_addr + h.p_vaddr;
        const std::uintptr_t end = start + h.p_memsz;
        if (start < relroEnd) {
            start = relroEnd < end ? relroEnd : end;
        }
        regions.push_back({start, end - start, {}});
    }
    return 1;
}

// A plain copy that the address sanitizer does not check (the regions hold
// the redzones between the library's globals) and that feeds no coverage.
__attribute__((no_sanitize("address", "coverage"))) void CopyBytes(std::uint8_t *to, const std::uint8_t *from,
                                                                   std::size_t n) {
    volatile std::uint8_t *out = to;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = from[i];
    }
}

} // namespace

void SaveLoadTimeState() {
    if (dl_iterate_phdr(CollectRegions, nullptr) == 0 || regions.empty()) {
        std::fprintf(stderr, "fuzz: %s is not loaded\n", kLibraryName);
        std::abort();
    }
    for (Region &r : regions) {
        r.saved.resize(r.size);
        CopyBytes(r.saved.data(), reinterpret_cast<const std::uint8_t *>(r.start), r.size);
    }
}

void RestoreLoadTimeState() {
    for (Region &r : regions) {
        CopyBytes(reinterpret_cast<std::uint8_t *>(r.start), r.saved.data(), r.size);
    }
}

} // namespace fuzz
