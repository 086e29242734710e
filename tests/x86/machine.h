// The emulated x86 processor that runs the shipping 32-bit DLL inside the
// 64-bit test process (Unicorn). Its memory is host memory mapped into the
// emulated address space, so the host reads and writes what the DLL sees;
// its imports are stubs that call host functions; its exports are called
// with the stdcall contract checked on the way back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "x86/pe_image.h"

namespace x86 {

// The processor model: the DLL asks CPUID whether it may use SSSE3
// (processor.cpp answers, and refuses what the model does not have).
enum class Processor {
    WithSsse3,    // a Core 2: SSE to SSSE3
    WithoutSsse3, // a Pentium 4: SSE to SSE3
};
const char *ProcessorName(Processor processor);

// The arguments of a call that reached a stub, read from the emulated stack.
class Frame {
  public:
    explicit Frame(std::uint32_t esp) : esp_(esp) {}
    std::uint32_t Argument(int index) const; // the index-th 32-bit argument
  private:
    std::uint32_t esp_; // at the return address
};

// A host function serving an import; returns what the DLL finds in EAX.
using HostFunction = std::uint32_t (*)(const Frame &frame);

// A new engine with its stack and stub page; any earlier one is closed.
void PowerOn(Processor processor);
void PowerOff();

// Maps whole pages at `at`, backed by host memory; returns their host address.
std::uint8_t *Map(Address at, std::uint32_t size, const std::string &what);
void Unmap(Address at);
// A block of `size` bytes for one call's caller record, its end against an
// unmapped page and a page left unmapped before it, so that an overrun
// faults; the bytes of its first page before the data are filled with
// kSlackFill and checked by ReleaseBlocks.
Address MapCallerBlock(std::uint32_t size, const std::string &what);
constexpr std::uint8_t kSlackFill = 0xCD;
// Unmaps the caller blocks mapped since `mark` (BlockMark()); returns a
// fault message for a block whose slack was written, or "".
std::size_t BlockMark();
std::string ReleaseBlocks(std::size_t mark);
// A heap block for the DLL's malloc, guarded as a caller block is; its
// address is never handed out again, so a use after free faults. 0 when
// the heap's 512 MiB have no room for it.
Address MapHeapBlock(std::uint32_t size);
// False for an address MapHeapBlock did not return or that is freed already.
bool FreeHeapBlock(Address at);
std::size_t HeapBlocks();
// The host address of [at, at + size) when it lies inside one mapping.
std::uint8_t *Host(Address at, std::uint32_t size);
// An address in words for a fault message: which mapping, which offset.
std::string Describe(Address at);

// A stub that calls `function` when the DLL calls it and then returns,
// popping `argumentBytes` (stdcall) or nothing (cdecl).
Address Stub(const std::string &name, HostFunction function, std::uint16_t argumentBytes);

struct Outcome {
    bool ok = false;
    std::uint32_t eax = 0;
    std::string fault; // what went wrong, naming the call, when !ok
};
// Calls the guest function at `function`, from the host or, nested, from a
// host function serving one of its imports, as stdcall. On return ESP must
// be back less exactly the arguments, and EBX, ESI, EDI and EBP as they
// were; an emulated fault, a fault a host function reported or a broken
// contract is returned in words that name `name`.
Outcome Call(const std::string &name, Address function, const std::vector<std::uint32_t> &arguments);
// From inside a host function: ends the current call with this fault.
void Fault(const std::string &what);
bool Faulted();
// The export being called, innermost first, for messages.
std::string CallPath();
// How many blocks holding an SSSE3 instruction ran since power-on.
std::uint64_t Ssse3Blocks();

} // namespace x86
