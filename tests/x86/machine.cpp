// The emulated processor: one Unicorn engine powered on and off, the hooks
// that serve import stubs, report invalid memory and check each block's
// instructions against the processor model, and the helpers the engine's
// rooms share. Its memory is in guest_memory.cpp, its calls in
// guest_calls.cpp.
#include "x86/machine.h"

#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "x86/engine_state.h"
#include "x86/processor.h"

namespace x86 {

Engine engine;

namespace {

[[noreturn]] void Broken(const std::string &what, uc_err error) {
    std::fprintf(stderr, "x86 test bed: %s: %s\n", what.c_str(), uc_strerror(error));
    std::abort();
}

} // namespace

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

namespace {

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

} // namespace

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

std::uint64_t Ssse3Blocks() {
    return engine.ssse3Blocks;
}

} // namespace x86
