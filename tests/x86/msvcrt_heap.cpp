// The C runtime's heap and memory functions for the x86 DLL: malloc, calloc
// and free on the bed's heap blocks (a bad free is a fault), memcpy, memset
// and strlen on the DLL's memory.
#include <cstring>

#include "x86/system_state.h"

namespace x86 {

namespace {

std::uint32_t Malloc(std::uint32_t size, std::uint8_t fill) {
    const Address at = MapHeapBlock(size);
    if (at != 0 && size != 0) {
        std::memset(Host(at, size), fill, size);
    }
    return at;
}

std::uint32_t malloc_(const Frame &f) {
    return Malloc(f.Argument(0), 0xBE); // not zeroed, as the C runtime's is not
}

std::uint32_t calloc_(const Frame &f) {
    const std::uint64_t size = std::uint64_t{f.Argument(0)} * f.Argument(1);
    return size > 0xFFFFFFFFu ? 0 : Malloc(static_cast<std::uint32_t>(size), 0);
}

std::uint32_t free_(const Frame &f) {
    if (f.Argument(0) != 0 && !FreeHeapBlock(f.Argument(0))) {
        Fault("free of a block that malloc did not return or that is freed already");
    }
    return 0;
}

std::uint32_t memcpy_(const Frame &f) {
    const std::uint32_t size = f.Argument(2);
    void *to = GuestBytes(f.Argument(0), size, "memcpy's destination");
    const void *from = GuestBytes(f.Argument(1), size, "memcpy's source");
    if (!Faulted() && size != 0) {
        std::memmove(to, from, size);
    }
    return f.Argument(0);
}

std::uint32_t memset_(const Frame &f) {
    const std::uint32_t size = f.Argument(2);
    void *to = GuestBytes(f.Argument(0), size, "memset's destination");
    if (!Faulted() && size != 0) {
        std::memset(to, static_cast<int>(f.Argument(1) & 0xFF), size);
    }
    return f.Argument(0);
}

std::uint32_t strlen_(const Frame &f) {
    const char *text = GuestString(f.Argument(0));
    return text == nullptr ? 0 : static_cast<std::uint32_t>(std::strlen(text));
}

} // namespace

std::vector<HostImport> HeapImports() {
    return {
        {"msvcrt.dll", "malloc", &malloc_, 0},
        {"msvcrt.dll", "calloc", &calloc_, 0},
        {"msvcrt.dll", "free", &free_, 0},
        {"msvcrt.dll", "memcpy", &memcpy_, 0},
        {"msvcrt.dll", "memset", &memset_, 0},
        {"msvcrt.dll", "strlen", &strlen_, 0},
    };
}

std::size_t HeapBlocksInUse() {
    return HeapBlocks();
}

} // namespace x86
