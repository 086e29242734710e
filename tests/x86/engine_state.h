// What the bed's engine rooms share (machine, guest_memory, guest_calls):
// the address layout of the emulated process, the one engine with its
// mappings, stubs and calls, and the small helpers they all use.
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "x86/machine.h"
#include "x86/processor.h"

namespace x86 {

constexpr std::uint32_t kPage = 4096;                              // the unit of mapping
constexpr Address kStubPage = 0x00010000;                          // the import stubs; below it nothing is mapped
constexpr std::uint32_t kStubSize = 16;                            // bytes per stub: room for `ret n` and padding
constexpr Address kReturnSentinel = kStubPage + kPage - kStubSize; // where every call returns to
constexpr Address kStackBottom = 0x00100000;                       // 1 MiB of stack, as Windows reserves by default
constexpr Address kStackTop = 0x00200000;
constexpr Address kBlocksFirst = 0x20000000; // caller blocks, mapped and unmapped call by call
constexpr Address kBlocksLast = 0x40000000;
constexpr Address kHeapFirst = 0x40000000; // the DLL's heap blocks, never reused
constexpr Address kHeapLast = 0x60000000;
constexpr std::uint32_t kNestedStackGap = 64; // below a stub's frame, where a nested call starts
// Callee-saved registers, given these values at the start of every call.
constexpr std::uint32_t kSavedMarks[4] = {0xB1B1B1B1, 0x51515151, 0xD1D1D1D1, 0xE1E1E1E1};
constexpr int kSavedRegisters[4] = {UC_X86_REG_EBX, UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EBP};
constexpr const char *kSavedNames[4] = {"EBX", "ESI", "EDI", "EBP"};

struct Mapping {
    std::uint32_t size = 0;
    std::uint8_t *host = nullptr;
    std::string what;
    Address dataAt = 0; // for caller blocks: where the caller's bytes start
    std::uint32_t dataSize = 0;
    bool callerBlock = false;
};

struct StubEntry {
    std::string name;
    HostFunction function;
};

struct Engine {
    uc_engine *uc = nullptr;
    std::map<Address, Mapping> mappings;
    std::vector<Address> callerBlocks; // caller blocks in the order mapped
    Address nextBlock = kBlocksFirst;
    Address nextHeap = kHeapFirst;
    std::map<Address, Address> heap; // a heap block's data address to its mapping
    std::vector<StubEntry> stubs;
    std::vector<std::string> calls; // the export being run, outermost first
    std::string fault;              // set by a hook or a host function
    Processor processor = Processor::WithSsse3;
    std::uint64_t ssse3Blocks = 0;
    std::unordered_map<std::uint64_t, BlockInstructions> decoded; // decoded blocks by address
};

extern Engine engine;

// Aborts the test program on an engine error: the bed itself is broken.
void Check(uc_err error, const std::string &what);
std::uint32_t Register(int id);
void SetRegister(int id, std::uint32_t value);
std::uint32_t Load32(const std::uint8_t *p);
std::string Hex(std::uint32_t value);
// Host memory of `size` bytes (whole pages) to back a mapping.
std::uint8_t *HostPages(std::uint32_t size);
// `size` rounded up to whole pages, at least one.
std::uint32_t WholePages(std::uint32_t size);
// The innermost export being called, or the bed itself, for messages.
std::string Innermost();

} // namespace x86
