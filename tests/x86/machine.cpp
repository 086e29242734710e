// The emulated processor: one Unicorn engine, its mappings, its import
// stubs and the calls into the DLL, nested ones included.
#include "x86/machine.h"
#include "x86/processor.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

namespace x86 {

namespace {

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

Engine engine;

[[noreturn]] void Broken(const std::string &what, uc_err error) {
    std::fprintf(stderr, "x86 test bed: %s: %s\n", what.c_str(), uc_strerror(error));
    std::abort();
}

void Check(uc_err error, const std::string &what) {
    if (error != UC_ERR_OK) {
        Broken(what, error);
    }
}

std::uint32_t Register(int id) {
    std::uint32_t value = 0;
    Check(uc_reg_read(engine.uc, id, &value), "reading a register");
    return value;
}

void SetRegister(int id, std::uint32_t value) {
    Check(uc_reg_write(engine.uc, id, &value), "writing a register");
}

std::uint32_t Load32(const std::uint8_t *p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

const char *AccessName(uc_mem_type type) {
    switch (type) {
    case UC_MEM_READ_UNMAPPED:
    case UC_MEM_READ_PROT:
        return "read";
    case UC_MEM_WRITE_UNMAPPED:
    case UC_MEM_WRITE_PROT:
        return "write";
    default:
        return "instruction fetch";
    }
}

bool OnInvalidMemory(uc_engine *, uc_mem_type type, std::uint64_t address, int size, std::int64_t, void *) {
    const auto at = static_cast<Address>(address);
    Fault(std::string(AccessName(type)) + " of " + std::to_string(size) + " bytes at " + Hex(at) + " (" + Describe(at) +
          "), instruction at " + Hex(Register(UC_X86_REG_EIP)) + " (" + Describe(Register(UC_X86_REG_EIP)) + ")");
    return false;
}

void OnStub(uc_engine *, std::uint64_t address, std::uint32_t, void *) {
    const std::uint64_t slot = (address - kStubPage) / kStubSize;
    if (address >= kReturnSentinel || slot >= engine.stubs.size() || (address - kStubPage) % kStubSize != 0) {
        return;
    }
    const Frame frame(Register(UC_X86_REG_ESP));
    const std::uint32_t eax = engine.stubs[slot].function(frame);
    SetRegister(UC_X86_REG_EAX, eax);
    if (!engine.fault.empty()) {
        uc_emu_stop(engine.uc);
    }
}

void OnBlock(uc_engine *, std::uint64_t address, std::uint32_t size, void *) {
    auto cached = engine.decoded.find(address);
    if (cached == engine.decoded.end()) {
        const std::uint8_t *code = Host(static_cast<Address>(address), size);
        cached = engine.decoded
                     .emplace(address, code ? ReadBlock(code, size, address, engine.processor) : BlockInstructions{})
                     .first;
    }
    engine.ssse3Blocks += cached->second.ssse3 ? 1 : 0;
    if (!cached->second.forbidden.empty()) {
        Fault("ran " + cached->second.forbidden + ", which " + ProcessorName(engine.processor) + " does not have");
    }
}

std::uint8_t *HostPages(std::uint32_t size) {
    void *pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        std::fprintf(stderr, "x86 test bed: cannot allocate %u bytes of emulated memory\n", size);
        std::abort();
    }
    return static_cast<std::uint8_t *>(pages);
}

std::uint32_t WholePages(std::uint32_t size) {
    return std::max(kPage, (size + kPage - 1) / kPage * kPage);
}

std::string Innermost() {
    return engine.calls.empty() ? std::string("the test bed") : engine.calls.back();
}

// What a finished call broke of the contract, or "".
std::string ContractBroken(std::uint32_t espBefore, std::size_t argumentCount, const std::uint32_t (&saved)[4]) {
    const auto popped = static_cast<std::uint32_t>(argumentCount * 4);
    const std::uint32_t esp = Register(UC_X86_REG_ESP);
    if (esp != espBefore + 4 + popped) {
        const auto took = static_cast<std::int64_t>(esp) - espBefore - 4;
        return "the stdcall contract is broken: the call removed " + std::to_string(took) +
               " bytes of arguments, not " + std::to_string(popped) + " (ESP " + Hex(esp) + ", expected " +
               Hex(espBefore + 4 + popped) + ")";
    }
    for (int i = 0; i < 4; ++i) {
        if (Register(kSavedRegisters[i]) != saved[i]) {
            return std::string("the callee-saved register ") + kSavedNames[i] +
                   " is not preserved: " + Hex(Register(kSavedRegisters[i])) + ", was " + Hex(saved[i]);
        }
    }
    return "";
}

} // namespace

const char *ProcessorName(Processor processor) {
    return processor == Processor::WithSsse3 ? "a Core 2 (SSSE3)" : "a Pentium 4 (SSE3, no SSSE3)";
}

std::uint32_t Frame::Argument(int index) const {
    const std::uint8_t *slot = Host(esp_ + 4 + 4 * static_cast<std::uint32_t>(index), 4);
    if (slot == nullptr) {
        Fault("an argument lies outside the stack");
        return 0;
    }
    return Load32(slot);
}

void PowerOn(Processor processor) {
    PowerOff();
    Check(uc_open(UC_ARCH_X86, UC_MODE_32, &engine.uc), "starting the x86 engine");
    engine.processor = processor;
    AnswerCpuid(engine.uc, processor);
    uc_hook hook;
    Check(uc_hook_add(engine.uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(&OnInvalidMemory), nullptr, 1, 0),
          "hooking invalid memory");
    Check(uc_hook_add(engine.uc, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&OnStub), nullptr, kStubPage,
                      kReturnSentinel - 1),
          "hooking the stub page");
    Check(uc_hook_add(engine.uc, &hook, UC_HOOK_BLOCK, reinterpret_cast<void *>(&OnBlock), nullptr, 1, 0),
          "hooking blocks");
    std::uint8_t *stubs = Map(kStubPage, kPage, "the import stubs");
    std::memset(stubs, 0xCC, kPage);           // int3 between stubs
    stubs[kReturnSentinel - kStubPage] = 0xF4; // hlt: never run, the calls stop here
    Map(kStackBottom, kStackTop - kStackBottom, "the stack");
}

void PowerOff() {
    if (engine.uc != nullptr) {
        uc_close(engine.uc);
    }
    for (auto &[at, mapping] : engine.mappings) {
        munmap(mapping.host, mapping.size);
    }
    engine = Engine{};
}

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

Address Stub(const std::string &name, HostFunction function, std::uint16_t argumentBytes) {
    const Address at = kStubPage + static_cast<Address>(engine.stubs.size()) * kStubSize;
    if (at >= kReturnSentinel) {
        std::fprintf(stderr, "x86 test bed: more imports than the stub page holds\n");
        std::abort();
    }
    std::uint8_t *code = Host(at, kStubSize);
    if (argumentBytes == 0) {
        code[0] = 0xC3; // ret
    } else {
        code[0] = 0xC2; // ret imm16
        code[1] = static_cast<std::uint8_t>(argumentBytes);
        code[2] = static_cast<std::uint8_t>(argumentBytes >> 8);
    }
    engine.stubs.push_back({name, function});
    return at;
}

Outcome Call(const std::string &name, Address function, const std::vector<std::uint32_t> &arguments) {
    const bool nested = !engine.calls.empty();
    uc_context *outer = nullptr;
    if (nested) {
        Check(uc_context_alloc(engine.uc, &outer), "allocating a context");
        Check(uc_context_save(engine.uc, outer), "saving the context");
    }
    std::uint32_t esp = nested ? Register(UC_X86_REG_ESP) - kNestedStackGap : kStackTop - 16;
    for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) {
        esp -= 4;
        std::memcpy(Host(esp, 4), &*it, 4);
    }
    esp -= 4;
    std::memcpy(Host(esp, 4), &kReturnSentinel, 4);
    SetRegister(UC_X86_REG_ESP, esp);
    std::uint32_t saved[4];
    for (int i = 0; i < 4; ++i) {
        saved[i] = kSavedMarks[i] + static_cast<std::uint32_t>(engine.calls.size()); // distinct per depth
        SetRegister(kSavedRegisters[i], saved[i]);
    }
    engine.calls.push_back(name);
    engine.fault.clear();
    const uc_err error = uc_emu_start(engine.uc, function, kReturnSentinel, 0, 0);
    Outcome outcome;
    if (!engine.fault.empty()) {
        outcome.fault = engine.fault;
    } else if (error != UC_ERR_OK) {
        outcome.fault = std::string(uc_strerror(error)) + " at " + Hex(Register(UC_X86_REG_EIP)) + " (" +
                        Describe(Register(UC_X86_REG_EIP)) + ")";
    } else if (Register(UC_X86_REG_EIP) != kReturnSentinel) {
        outcome.fault = "stopped at " + Hex(Register(UC_X86_REG_EIP)) + " without returning";
    } else {
        outcome.fault = ContractBroken(esp, arguments.size(), saved);
    }
    outcome.ok = outcome.fault.empty();
    if (!outcome.ok) {
        outcome.fault = CallPath() + ": " + outcome.fault;
    }
    outcome.eax = Register(UC_X86_REG_EAX);
    engine.calls.pop_back();
    engine.fault.clear();
    if (nested) {
        Check(uc_context_restore(engine.uc, outer), "restoring the context");
        uc_context_free(outer);
    }
    return outcome;
}

void Fault(const std::string &what) {
    if (engine.fault.empty()) {
        engine.fault = what;
    }
    uc_emu_stop(engine.uc);
}

std::string CallPath() {
    std::string path;
    for (auto it = engine.calls.rbegin(); it != engine.calls.rend(); ++it) {
        path += path.empty() ? *it : " (from inside " + *it + ")";
    }
    return path.empty() ? Innermost() : path;
}

bool Faulted() {
    return !engine.fault.empty();
}

std::uint64_t Ssse3Blocks() {
    return engine.ssse3Blocks;
}

} // namespace x86
