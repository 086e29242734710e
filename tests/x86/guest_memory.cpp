// The emulated process's memory: whole pages mapped from host memory,
// guarded caller blocks and heap blocks (an overrun or a use after free
// faults, a written slack is reported), the host address of a guest range,
// and an address described in words for fault messages.
#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

#include "x86/engine_state.h"
#include "x86/machine.h"

namespace x86 {

std::uint8_t *Map(Address at, std::uint32_t size, const std::string &what) {
    size = WholePages(size);
    std::uint8_t *host = HostPages(size);
    Check(uc_mem_map_ptr(engine.uc, at, size, UC_PROT_ALL, host), "mapping " + what + " at " + Hex(at));
    engine.mappings[at] = Mapping{size, host, what, at, size, false};
    return host;
}

void Unmap(Address at) {
    auto it = engine.mappings.find(at);
    if (it == engine.mappings.end()) {
        return;
    }
    Check(uc_mem_unmap(engine.uc, at, it->second.size), "unmapping " + it->second.what);
    munmap(it->second.host, it->second.size);
    engine.mappings.erase(it);
}

// Maps a guarded block at the next free place of a pool; returns its mapping's address.
Address MapGuarded(Address &next, Address last, std::uint32_t size, const std::string &what) {
    if (size > last - next - 2 * kPage) {
        return 0;
    }
    const std::uint32_t mapped = WholePages(size);
    const Address at = next + kPage; // a page left unmapped before
    if (std::uint64_t{at} + mapped + kPage > last) {
        return 0;
    }
    std::uint8_t *host = Map(at, mapped, what);
    Mapping &mapping = engine.mappings[at];
    mapping.dataAt = at + mapped - size; // the end against the unmapped page after
    mapping.dataSize = size;
    mapping.callerBlock = true;
    std::memset(host, kSlackFill, mapped - size);
    next = at + mapped;
    return at;
}

Address MapCallerBlock(std::uint32_t size, const std::string &what) {
    const Address at = MapGuarded(engine.nextBlock, kBlocksLast, size, what);
    if (at == 0) {
        std::fprintf(stderr, "x86 test bed: no room for %s (%u bytes)\n", what.c_str(), size);
        std::abort();
    }
    engine.callerBlocks.push_back(at);
    return engine.mappings.at(at).dataAt;
}

Address MapHeapBlock(std::uint32_t size) {
    const Address at =
        MapGuarded(engine.nextHeap, kHeapLast, size, "a heap block of " + std::to_string(size) + " bytes");
    if (at == 0) {
        return 0; // out of memory, as a 32-bit process runs out
    }
    const Address data = engine.mappings.at(at).dataAt;
    engine.heap[data] = at;
    return data;
}

bool FreeHeapBlock(Address at) {
    auto it = engine.heap.find(at);
    if (it == engine.heap.end()) {
        return false;
    }
    Unmap(it->second);
    engine.heap.erase(it);
    return true;
}

std::size_t HeapBlocks() {
    return engine.heap.size();
}

std::size_t BlockMark() {
    return engine.callerBlocks.size();
}

std::string ReleaseBlocks(std::size_t mark) {
    std::string fault;
    while (engine.callerBlocks.size() > mark) {
        const Address at = engine.callerBlocks.back();
        const Mapping &mapping = engine.mappings.at(at);
        const std::uint32_t slack = mapping.size - mapping.dataSize;
        for (std::uint32_t i = 0; i < slack && fault.empty(); ++i) {
            if (mapping.host[i] != kSlackFill) {
                fault = "wrote " + std::to_string(slack - i) + " bytes before the start of " + mapping.what;
            }
        }
        Unmap(at);
        engine.callerBlocks.pop_back();
    }
    engine.nextBlock = engine.callerBlocks.empty()
                           ? kBlocksFirst
                           : engine.callerBlocks.back() + engine.mappings.at(engine.callerBlocks.back()).size;
    return fault;
}

std::uint8_t *Host(Address at, std::uint32_t size) {
    auto it = engine.mappings.upper_bound(at);
    if (it == engine.mappings.begin()) {
        return nullptr;
    }
    --it;
    const std::uint64_t offset = at - it->first;
    if (offset + size > it->second.size) {
        return nullptr;
    }
    return it->second.host + offset;
}

std::string Describe(Address at) {
    for (const auto &[start, mapping] : engine.mappings) {
        const std::int64_t offset = static_cast<std::int64_t>(at) - mapping.dataAt;
        const bool inside = at >= start && at - start < mapping.size;
        const bool justAfter = at >= start + mapping.size && at - (start + mapping.size) < kPage;
        const bool justBefore = at < start && start - at <= kPage;
        if (mapping.callerBlock && (inside || justAfter || justBefore)) {
            const std::int64_t past = offset - mapping.dataSize;
            return past >= 0 ? std::to_string(past) + " bytes past the end of " + mapping.what + " (offset " +
                                   std::to_string(offset) + ")"
                             : mapping.what + ", offset " + std::to_string(offset);
        }
        if (inside) {
            return mapping.what + " + " + Hex(at - start);
        }
    }
    return at < kStubPage ? "near a null pointer" : "no mapping";
}

} // namespace x86
